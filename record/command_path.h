#pragma once
// ResolveCommandPath: the file a command line starts, as the applications
// collectors need it for startup entries, services, drivers and processes.

#include <string>

namespace orvalinth {

// 1 when the command names an existing file: `path` is then its full path
// (with the long form of any "~" name); 0 otherwise, with `path` the command
// unchanged. `arguments`, when given, receives the command's arguments
// (trimmed of blanks), empty when it has none. The steps, in order:
//  - a command in double quotes is the quoted text, the rest its arguments
//    (an opening quote without its closing one is dropped);
//  - "\??\" is dropped; "system32\..." and "\systemroot\..." are taken below
//    the Windows folder;
//  - a ".lnk" is replaced by its target when the shortcut resolves to a file
//    (CXShortcut: needs COM on the calling thread on win32);
//  - the system's executable search; then, unquoted, the text is cut at the
//    first blank after ".exe" (or the first blank, when there is no ".exe";
//    not for a ".sys"), ".exe" is appended unless the name ends with ".exe"
//    or ".sys", and it is searched again; then again with environment
//    variables expanded; finally a ".sys" is looked for in the drivers folder
//    (the Windows folder's "system32\drivers\").
// A folder is not a file: a search that finds one has found nothing.
int ResolveCommandPath(const std::u16string& command, std::u16string* path, std::u16string* arguments = nullptr);

}  // namespace orvalinth
