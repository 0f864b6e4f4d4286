#include "pt/string.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "pt/atomic.h"

namespace pt {

namespace {

struct Header {
  int32_t refcount;
  int32_t length;
};

struct EmptyBlock {
  Header header;
  char text[1];
};

EmptyBlock g_empty = {{0, 0}, {0}};

Header* HeaderOf(char* data) { return reinterpret_cast<Header*>(data) - 1; }

}  // namespace

char* const emptystr = g_empty.text;
string nullstring;

string::string(const char* text) : data_(emptystr) {
  const size_t len = text == nullptr ? 0 : std::strlen(text);
  if (len == 0) return;
  auto* block = static_cast<Header*>(std::malloc(sizeof(Header) + len + 1));
  if (block == nullptr) return;  // left empty: the layer reports no errors
  block->refcount = 1;
  block->length = static_cast<int32_t>(len);
  data_ = reinterpret_cast<char*>(block + 1);
  std::memcpy(data_, text, len + 1);
}

string::string(const string& other) : data_(other.data_) {
  if (!empty()) atomic_increment(&HeaderOf(data_)->refcount);
}

string& string::operator=(const string& other) {
  if (data_ != other.data_) {
    if (!other.empty()) atomic_increment(&HeaderOf(other.data_)->refcount);
    release();
    data_ = other.data_;
  }
  return *this;
}

string::~string() { release(); }

int string::length() const { return HeaderOf(data_)->length; }

int string::refcount() const { return empty() ? 0 : atomic_read(&HeaderOf(data_)->refcount); }

void string::release() {
  if (empty()) return;
  Header* header = HeaderOf(data_);
  data_ = emptystr;
  if (atomic_decrement(&header->refcount) == 0) std::free(header);
}

exception::~exception() = default;

}  // namespace pt
