#include "base/error.h"

#include "base/strings.h"

namespace orvalinth {

CXError* CXError::Root() {
  CXError* node = this;
  while (node->parent_ != nullptr) node = node->parent_;
  return node;
}

const CXError* CXError::Root() const {
  const CXError* node = this;
  while (node->parent_ != nullptr) node = node->parent_;
  return node;
}

std::string CXError::ContextPath() const {
  std::vector<const std::string*> names;
  for (const CXError* node = this; node != nullptr; node = node->parent_) {
    if (!node->context_name_.empty()) names.push_back(&node->context_name_);
  }
  std::string path;
  for (auto it = names.rbegin(); it != names.rend(); ++it) {
    if (!path.empty()) path += '.';
    path += **it;
  }
  return path;
}

int CXError::SetError(const char* prefix, const std::u16string& text) {
  std::string line = prefix != nullptr ? prefix : "";
  if (!text.empty()) {
    const std::string value = EncodeUtf8(text);
    const size_t at = line.find("%s");
    if (at != std::string::npos) {
      line.replace(at, 2, value);
    } else {
      if (!line.empty()) line += ' ';
      line += value;
    }
  }
  const std::string context = ContextPath();
  if (!context.empty()) line += " [" + context + "]";
  Root()->lines_.push_back(std::move(line));
  return 0;
}

void CXError::SetParent(CXError* parent, bool direct) {
  if (!direct && parent != nullptr && parent->parent_ != nullptr && parent->parent_->context_name_.empty()) {
    parent = parent->parent_;
  }
  parent_ = parent;
}

std::string CXError::ChainText(bool clear) {
  CXError* root = Root();
  std::string text;
  for (size_t i = 0; i < root->lines_.size(); ++i) {
    if (i > 0) text += '\n';
    text += root->lines_[i];
  }
  if (clear) root->lines_.clear();
  return text;
}

int CXError::LineCount() const { return static_cast<int>(Root()->lines_.size()); }

}  // namespace orvalinth
