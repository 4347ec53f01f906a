#include "platform/form.h"

#include "platform/platform_state.h"

namespace dvrlink {

void TextBox::SetText(const std::string& text) {
  bool extends = text.size() > text_.size() && text.compare(0, text_.size(), text_) == 0;
  std::string added = extends ? text.substr(text_.size()) : std::string();
  text_ = text;
  if (sel_start_ > text_.size()) sel_start_ = text_.size();
  if (!extends || !owner_ || !owner_->Visible()) return;
  if (added.rfind("\r\n", 0) == 0) added.erase(0, 2);
  auto& echo = Platform().status_echo;
  if (echo && !added.empty()) echo(added);
}

}  // namespace dvrlink
