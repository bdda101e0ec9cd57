#pragma once
// The shell-link file format (".lnk"), read for the target's path where the
// system has no shell link object to ask (the POSIX build), and in tests on
// both builds beside the system's answer.
//
// A shell link is a 76-byte header (size 0x4C, the class id
// 00021401-0000-0000-C000-000000000046, the link flags, ...), then, as the
// flags say, an ID list of shell items and the link information. The target
// is taken from:
// 1. the link information (unless the flags say to ignore it): the network
//    share name followed by "\" and the common path suffix when the target
//    lies on a share (the UNC form is preferred, as the resolver asks the
//    system for it), else the local base path followed by the common path
//    suffix; the Unicode forms when present, else the 8-bit forms taken byte
//    for unit (Latin-1);
// 2. else the ID list, when it is a file-system path: the computer, a drive
//    ("C:\") and file entries, each named by the long name of its extension
//    block (signature 0xBEEF0004) or else by its primary name;
// 3. else, when the link has no ID list, an empty one or one that names only
//    the computer, the link names no file: the target is empty.
// Anything else (a damaged structure, an ID list of other shell items) leaves
// the link unread. Every size and offset is checked against the bytes.

#include <cstddef>
#include <string>

namespace orvalinth {

// True with the target (empty for a link to something that is not a file)
// when the bytes are a shell link that can be read as above.
bool ReadShellLinkTarget(const void* data, size_t size, std::u16string* target);

}  // namespace orvalinth
