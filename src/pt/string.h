// The layer string and pt::exception.
//
// A layer string is one pointer to NUL-terminated characters. A non-empty string's heap block
// holds a 32-bit reference count and a 32-bit length ahead of the characters; copies share the
// block (atomic increment) and the last release frees it. Every empty string points at
// pt::emptystr, static storage that is never freed.
#ifndef ZENT_PT_STRING_H_
#define ZENT_PT_STRING_H_

#include "pt/unknown.h"

namespace pt {

// The characters of the shared empty string (length 0).
extern char* const emptystr;

class string {
 public:
  string() : data_(emptystr) {}
  string(const char* text);  // NOLINT(google-explicit-constructor): text converts naturally
  string(const string& other);
  string& operator=(const string& other);
  ~string();

  const char* c_str() const { return data_; }
  int length() const;
  bool empty() const { return data_ == emptystr; }
  int refcount() const;  // 0 for the empty string, which is not counted

 private:
  void release();
  char* data_;
};

// A process-wide empty string.
extern string nullstring;

// An exception of the layer. Exceptions travel as pointers; nothing in the program throws one,
// and the thread start routine is the only place that catches them.
class exception : public unknown {
 public:
  explicit exception(const string& message) : message_(message) {}
  ~exception() override;
  virtual string get_message() const { return message_; }

 private:
  string message_;
};

}  // namespace pt

#endif  // ZENT_PT_STRING_H_
