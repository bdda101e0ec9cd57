#pragma once
// "-configure KEY:VALUE...": the settings an installation gives the program.
//
// The Windows Installer package runs the installed program with
//     -configure "ServerAddr:<SERVERADDR>" "ServerPort:<SERVERPORT>" "ServerTLS:<SERVERTLS>"
//                "ServerPin:<SERVERPIN>" "UpgradeSigner:<UPGRADESIGNER>"
// with its public properties filled in: a property that was not given leaves
// "Key:" without a value, and such a key is left as the settings file has it.
// The keys (A-Z case ignored) are the settings file's own, written by
// CXClientSettings, so the file reads back exactly as the agent writes it;
// every other setting keeps its value, and a missing file starts from the
// defaults (and is written with them when nothing was given). A key of
// another name, a port that is no number from 1 to 65535, or an argument
// without ":" changes nothing: the whole command line is refused and the
// reason logged.

#include <string>
#include <vector>

namespace orvalinth {

// The assignments `arguments` ("Key:value", the option itself not among them)
// applied to the settings file at `settings_path`. True when the file was
// written, or nothing was given to a file that exists; false with `error`
// otherwise, the file left as it was.
bool ConfigureSettings(const std::vector<std::string>& arguments, const std::u16string& settings_path,
                       std::string* error);

// The option: ConfigureSettings on the program folder's settings file, the
// outcome logged ("settings configured: ServerAddr, ServerPort"). It runs in
// every installation and upgrade, so it also clears the upgrade mark below.
void Configure(const std::vector<std::string>& arguments);

// The upgrade mark: the registry value HKEY_LOCAL_MACHINE\Software\Orvalinth
// "Upgrading", which a newer package sets ("-mark-upgrade", run from the
// package itself) before it removes the older one, so that the older one's
// removal keeps the settings and snapshots (packaging/OrvalinthSrv.wxs).
// Nothing is logged: the program runs from the installer's temporary copy.
inline constexpr const char16_t* kPackageUpgradeValue = u"Upgrading";
void MarkPackageUpgrade();
void ClearPackageUpgradeMark();

}  // namespace orvalinth
