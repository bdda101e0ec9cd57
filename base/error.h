#pragma once
// CXError: the error chain. An ordered set of message lines, optionally
// attached to a parent chain. Lines are always stored at the root (the object
// reached by following parents until there is none), so every object of a
// chain reports into one list; a failure deep inside a write reaches the
// console and the log as the root's joined text.
//
// Chains are not locked: a chain is filled by the thread that owns its root.

#include <string>
#include <vector>

namespace orvalinth {

class CXError {
 public:
  explicit CXError(std::string context_name = std::string()) : context_name_(std::move(context_name)) {}
  virtual ~CXError() = default;
  CXError(const CXError&) = delete;
  CXError& operator=(const CXError&) = delete;

  // Adds one line at the root: the prefix with `text` in place of its "%s",
  // or with " " and `text` appended when it has none (no blank when the prefix
  // is empty; nothing when the text is empty), then " [" context path "]" when
  // the context path is not empty. The context path joins the non-empty
  // context names from the outermost parent down to this object with ".".
  // Wide text enters the line as UTF-8. Returns 0, so that a failing operation
  // can return it as its own failure value.
  virtual int SetError(const char* prefix, const std::u16string& text);
  int SetError(const char* prefix) { return SetError(prefix, std::u16string()); }

  // Makes `parent` this object's parent. Unless `direct`, a parent that has a
  // parent of its own with an empty context name is passed over for that one.
  void SetParent(CXError* parent, bool direct);

  // The root's lines joined with "\n" (none after the last); `clear` removes
  // them afterwards.
  std::string ChainText(bool clear);
  // The number of lines at the root.
  int LineCount() const;

  const std::string& context_name() const { return context_name_; }
  void set_context_name(std::string name) { context_name_ = std::move(name); }
  CXError* parent() const { return parent_; }

 private:
  CXError* Root();
  const CXError* Root() const;
  std::string ContextPath() const;

  std::vector<std::string> lines_;
  std::string context_name_;
  CXError* parent_ = nullptr;
};

}  // namespace orvalinth
