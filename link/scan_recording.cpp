#include "link/scan_recording.h"

#include "record/record_controller.h"

namespace orvalinth {
namespace {

// The program's recording: the record controller over the process settings.
class ControllerRecording final : public CXScanRecording {
 public:
  int StartRecording(int32_t number) override { return controller_.StartRecording(number); }
  int IsRecording() override { return controller_.IsRecording(); }
  int FinishRecording(int32_t number) override { return controller_.FinishRecording(number); }
  void AbortRecording() override { controller_.AbortRecording(); }
  std::string ErrorText() override { return controller_.ChainText(true); }

 private:
  CXClientRecordController controller_;
};

}  // namespace

std::unique_ptr<CXScanRecording> CreateScanRecording(std::string*) { return std::make_unique<ControllerRecording>(); }

}  // namespace orvalinth
