// The form model: what the component's hidden windows were, without a screen.
// A form has a caption, a size, a visible flag and text boxes. While a form
// is shown, every line added to its text boxes is also handed to the
// platform's status echo (the service writes it to standard error).
#pragma once

#include <string>

namespace dvrlink {

class Form;

class TextBox {
 public:
  explicit TextBox(const Form* owner) : owner_(owner) {}
  TextBox(const TextBox&) = delete;
  TextBox& operator=(const TextBox&) = delete;

  const std::string& Text() const { return text_; }
  // Replaces the text. When the new text extends the old one and the form is
  // shown, the added part (without its leading line break) is echoed.
  void SetText(const std::string& text);
  // Caret position (SelStart), in characters.
  size_t SelStart() const { return sel_start_; }
  void SetSelStart(size_t pos) { sel_start_ = pos > text_.size() ? text_.size() : pos; }
  std::string font_name;

 private:
  const Form* owner_;  // not owned: the form that holds this box
  std::string text_;
  size_t sel_start_ = 0;
};

class Form {
 public:
  explicit Form(std::string caption) : caption_(std::move(caption)) {}
  virtual ~Form() = default;
  Form(const Form&) = delete;
  Form& operator=(const Form&) = delete;

  const std::string& Caption() const { return caption_; }
  void SetCaption(const std::string& caption) { caption_ = caption; }
  bool Visible() const { return visible_; }
  void Show() { visible_ = true; }
  void Hide() { visible_ = false; }
  int Width() const { return width_; }
  int Height() const { return height_; }
  void SetWidth(int twips) { width_ = twips; }
  void SetHeight(int twips) { height_ = twips; }

 private:
  std::string caption_;
  bool visible_ = false;
  int width_ = 0;
  int height_ = 0;
};

}  // namespace dvrlink
