#pragma once
// The two texts that describe the machine wherever the program reports about
// itself (the snapshot's info block, the crash report): the operating-system
// name with its details, and the processor name. Both are read from the
// registry each time they are asked for; missing keys or values give empty
// texts. Wide registry texts become 8-bit by keeping the low byte of every
// unit, a zero byte becoming "?".

#include <string>
#include <string_view>

#include "record/apps/reg_string_values.h"
#include "storage/snapshot_io.h"

namespace orvalinth {

// The name and details of the operating system, from
// HKEY_LOCAL_MACHINE\SOFTWARE\Microsoft\Windows NT\CurrentVersion; both
// empty when that key has no text values (or cannot be opened).
void GetOsDescription(std::string* name, std::string* details);
// The processor name, from
// HKEY_LOCAL_MACHINE\HARDWARE\DESCRIPTION\System\CentralProcessor\0.
std::string GetProcessorName();
// Both, as the snapshot writer stores them in the info block.
SXMachineDescription DescribeMachine();

// The rules behind them, over the values of those keys:
// The product name without "Microsoft ", "(TM) " and "(R) ", "Windows "
// shortened to "Win "; " x64" when BuildLabEx holds ".amd64" or ".x64"; then
// " SP" and the character after "_sp" when BuildLab holds "_sp", else " " and
// CSDVersion with every "Service Pack " turned into "SP".
std::string OsNameOf(const CXRegStringValues& values);
// ProductName, CSDVersion, BuildLab, BuildLabEx, ProductId,
// RegisteredOrganization, RegisteredOwner and CurrentVersion joined by "\n".
std::string OsDetailsOf(const CXRegStringValues& values);
// ProcessorNameString with runs of up to 1,024 spaces collapsed to one (ten
// rounds of turning every two spaces into one).
std::string ProcessorNameOf(const CXRegStringValues& values);

// Every non-overlapping `what` in `text`, from left to right, replaced by `with`.
std::string ReplaceAll(std::string text, std::string_view what, std::string_view with);

}  // namespace orvalinth
