// The service control manager on POSIX. Linux has no such manager: the
// manager side is the in-memory emulation, and the service side runs the
// service the way systemd runs a daemon. The entry runs in the foreground on
// the calling thread; SIGTERM and SIGINT are the stop control. They are
// blocked before any other thread exists (threads inherit the mask) and taken
// by one thread with sigtimedwait, so no code runs in a signal handler.

#include "platform/services.h"

#include <errno.h>
#include <signal.h>
#include <time.h>

#include <atomic>
#include <mutex>
#include <thread>

#include "platform/errors.h"
#include "platform/service_emulation.h"

namespace orvalinth::platform {
namespace {

class PosixServiceManager final : public ServiceManager {
 public:
  bool OpenManager(uint32_t access, std::unique_ptr<ServiceDatabase>* database) override {
    return emulation_.OpenManager(access, database);
  }

  bool WriteDescription(const std::u16string& name, const std::u16string& description) override {
    return emulation_.WriteDescription(name, description);
  }

  bool RunDispatcher(const std::string& /*name*/, ServiceMainFunction service_main) override {
    sigset_t stop_signals;
    sigemptyset(&stop_signals);
    sigaddset(&stop_signals, SIGTERM);
    sigaddset(&stop_signals, SIGINT);
    if (pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr) != 0) return Fail(kErrorGenFailure);

    std::atomic<bool> ended{false};
    std::thread waiter([this, &ended, stop_signals] {
      // The timeout lets the thread see the end of the entry, and hand over a
      // stop that came before the entry registered its handler.
      const timespec slice = {0, 100 * 1000 * 1000};
      while (!ended.load()) {
        const int signal = sigtimedwait(&stop_signals, nullptr, &slice);
        if (signal == SIGTERM || signal == SIGINT) {
          std::lock_guard<std::mutex> guard(lock_);
          stop_pending_ = true;
        }
        DeliverPendingStop();
      }
    });
    service_main();
    ended.store(true);
    waiter.join();
    // The signals stay blocked: the process is ending, and a late SIGTERM
    // must not kill it with a signal status after a clean stop.
    SetLastError(kErrorSuccess);
    return true;
  }

  bool RegisterControlHandler(const std::string& /*name*/, ServiceControlHandler handler,
                              ServiceStatusHandle* handle) override {
    std::lock_guard<std::mutex> guard(lock_);
    handler_ = handler;
    *handle = 1;
    return true;
  }

  bool SetStatus(ServiceStatusHandle handle, const ServiceStatus& status) override {
    if (handle != 1) return Fail(kErrorInvalidHandle);
    std::lock_guard<std::mutex> guard(lock_);
    // Nobody to tell: systemd follows the process itself. Once stopped, a late
    // signal has nothing left to stop.
    stopped_ = status.state == kServiceStopped;
    return true;
  }

 private:
  static bool Fail(uint32_t code) {
    SetLastError(code);
    return false;
  }

  void DeliverPendingStop() {
    ServiceControlHandler handler = nullptr;
    {
      std::lock_guard<std::mutex> guard(lock_);
      if (!stop_pending_ || handler_ == nullptr) return;
      stop_pending_ = false;
      if (stopped_) return;
      handler = handler_;
    }
    handler(kServiceControlStop);
  }

  EmulatedServiceManager emulation_;
  std::mutex lock_;
  ServiceControlHandler handler_ = nullptr;
  bool stop_pending_ = false;
  bool stopped_ = false;
};

}  // namespace

template <>
ServiceManager& Facility<ServiceManager>::Real() {
  static PosixServiceManager instance;
  return instance;
}

}  // namespace orvalinth::platform
