#include "link/scan_recording.h"

#include "platform/process.h"
#include "record/record_controller.h"

namespace orvalinth {
namespace {

// The program's recording: the record controller over the client's settings.
class ControllerRecording final : public CXScanRecording {
 public:
  explicit ControllerRecording(CXClientSettings& settings) : controller_(settings) {}
  int StartRecording(int32_t number) override { return controller_.StartRecording(number); }
  int IsRecording() override { return controller_.IsRecording(); }
  int WaitWhileRecording(uint32_t timeout_ms) override { return controller_.WaitWhileRecording(timeout_ms); }
  int FinishRecording(int32_t number) override { return controller_.FinishRecording(number); }
  void AbortRecording() override { controller_.AbortRecording(); }
  std::string ErrorText() override { return controller_.ChainText(true); }

 private:
  CXClientRecordController controller_;
};

}  // namespace

int CXScanRecording::WaitWhileRecording(uint32_t timeout_ms) {
  platform::SleepMs(timeout_ms);
  return IsRecording();
}

std::unique_ptr<CXScanRecording> CreateScanRecording(CXClientSettings& settings, std::string*) {
  return std::make_unique<ControllerRecording>(settings);
}

}  // namespace orvalinth
