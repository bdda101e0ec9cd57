// Message boxes on Windows (MessageBoxA). Without a desktop, as under Wine
// with no display, the call fails at once and the answer is "not Yes".

#include "platform/dialogs.h"

#include "platform/win32/win.h"

namespace orvalinth::platform {
namespace {

class WinDialog final : public Dialog {
 public:
  bool AskYesNo(const std::string& caption, const std::string& question) override {
    return MessageBoxA(/*hWnd=*/nullptr, question.c_str(), caption.c_str(),
                       MB_YESNO | MB_ICONQUESTION | MB_SETFOREGROUND) == IDYES;
  }

  void Inform(const std::string& caption, const std::string& text) override {
    MessageBoxA(/*hWnd=*/nullptr, text.c_str(), caption.c_str(), MB_OK | MB_ICONINFORMATION | MB_SETFOREGROUND);
  }
};

}  // namespace

template <>
Dialog& Facility<Dialog>::Real() {
  static WinDialog instance;
  return instance;
}

}  // namespace orvalinth::platform
