#include "model/shared_string.h"

#include <cstring>
#include <new>
#include <ostream>

namespace tessel {

SharedString::SharedString(std::string_view text) {
  if (text.empty()) return;
  rep_ = static_cast<Rep*>(::operator new(offsetof(Rep, text) + text.size() + 1));
  new (&rep_->references) std::atomic<uint32_t>(1);
  rep_->size = static_cast<uint32_t>(text.size());
  std::memcpy(rep_->text, text.data(), text.size());
  rep_->text[text.size()] = '\0';
}

std::ostream& operator<<(std::ostream& out, const SharedString& text) {
  return out << text.view();
}

}  // namespace tessel
