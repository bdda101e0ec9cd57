#pragma once
// ServiceLink: the real OrvalinthSrv.exe running as a service in a private
// Wine prefix, linked to a console of this process (the console library's
// CXConsoleLink on 127.0.0.1). One per test suite: the prefix is copied, the
// executable installed in "C:\Program Files\Orvalinth\" with its data
// folder, and at the end the service is stopped and deleted and the prefix's
// server ended, so that no Wine process stays behind.
//
//   ServiceLink* s = new ServiceLink("scan");
//   ASSERT_TRUE(s->Connect()) << s->error();   // settings, -register, -start, accept
//   s->console().Request(...);

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "tools/console_link.h"
#include "wine_prefix.h"

namespace orvalinth::e2e {

class ServiceLink {
 public:
  static constexpr char kFolder[] = "C:\\Program Files\\Orvalinth\\";
  static constexpr char kExe[] = "C:\\Program Files\\Orvalinth\\OrvalinthSrv.exe";

  explicit ServiceLink(const std::string& name);
  ~ServiceLink();
  ServiceLink(const ServiceLink&) = delete;
  ServiceLink& operator=(const ServiceLink&) = delete;

  // False when the prefix, the installation or the console could not be made.
  bool ok() const { return error_.empty(); }
  const std::string& error() const { return error_; }
  WinePrefix& prefix() { return *prefix_; }
  tools::CXConsoleLink& console() { return console_; }

  // Writes the settings file: the console at address:port, then `more`
  // (lines ended by CR LF).
  void WriteSettings(const std::string& address, uint16_t port, const std::string& more = std::string());
  // Registers the service when it is not, and starts it (stopping it first
  // when it runs). False when it does not run afterwards.
  bool Start();
  // Stops the service and waits until the manager says so.
  void Stop();
  // The manager's state word ("RUNNING", "STOPPED", ...); empty when the
  // service does not exist.
  std::string State();

  // Unless the console is linked already: points the settings at the
  // console (with `more`), (re)starts the service and accepts it, the whole
  // within `timeout_ms`. False with error() when no greeted link came.
  bool Connect(const std::string& more = std::string(), int64_t timeout_ms = 60000);
  // Drops the link and accepts the service's next connection (it comes
  // after its 5-second reconnect wait), for a fresh "info".
  bool Reconnect(int64_t timeout_ms = 20000);

  // Host paths of the program's files in the prefix.
  std::string LogPath() const;
  std::string SettingsPath() const;
  std::string SnapshotPath(int number) const;
  // The value of the settings line "key" (for instance "SnapshotCnt:"),
  // empty when there is none.
  std::string Setting(const std::string& key) const;

 private:
  std::unique_ptr<WinePrefix> prefix_;
  tools::CXConsoleLink console_;
  std::string error_;
};

// The number the next scan records: the settings' snapshot count + 1.
int NextSnapshotNumber(const ServiceLink& service);

}  // namespace orvalinth::e2e
