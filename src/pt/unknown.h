// pt::unknown: the polymorphic root of the runtime layer's classes, so that any of them may
// be deleted through a base pointer.
#ifndef ZENT_PT_UNKNOWN_H_
#define ZENT_PT_UNKNOWN_H_

namespace pt {

class unknown {
 public:
  unknown() = default;
  unknown(const unknown&) = delete;
  unknown& operator=(const unknown&) = delete;
  virtual ~unknown() = default;
};

}  // namespace pt

#endif  // ZENT_PT_UNKNOWN_H_
