// Bytes that held a PIN are wiped before their memory is given back.
#pragma once

#include <cstddef>
#include <string>

namespace csp {

// A store the compiler cannot drop, however dead the buffer looks afterwards.
inline void Wipe(void* data, size_t length) {
  volatile unsigned char* p = static_cast<volatile unsigned char*>(data);
  while (length-- > 0) *p++ = 0;
}

class Secret {
 public:
  Secret() = default;
  explicit Secret(std::string text) : text_(std::move(text)) {}
  Secret(const Secret& other) : text_(other.text_) {}
  Secret& operator=(const Secret& other) {
    if (this != &other) {
      Clear();
      text_ = other.text_;
    }
    return *this;
  }
  ~Secret() { Clear(); }

  void Clear() {
    if (!text_.empty()) Wipe(&text_[0], text_.size());
    text_.clear();
  }
  const std::string& text() const { return text_; }
  const char* c_str() const { return text_.c_str(); }
  bool empty() const { return text_.empty(); }

 private:
  std::string text_;
};

}  // namespace csp
