// Small files that must be whole after any stop, the old content or the
// new, never a mix: written to a temporary file beside them and renamed
// over the old one.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <string>

namespace qvgateway {

// `sync` also flushes the file and its folder to the disk, for a power
// loss; without it a killed process still leaves the old or the new file.
bool WriteFileAtomically(const std::string& path, const std::string& bytes, bool sync, std::string* error);
// False when the file is absent, unreadable or longer than `maxBytes`.
bool ReadSmallFile(const std::string& path, size_t maxBytes, std::string* bytes);
// Makes a rename or removal in `folder` survive a power loss.
bool SyncFolder(const std::string& folder);

// A small counter kept as decimal text in a file: Sparkplug's bdSeq, which
// must go on counting across restarts. Read is false when the file is
// absent or holds anything but one whole number and its newline.
bool ReadCounter(const std::string& path, int64_t* value);
bool WriteCounter(const std::string& path, int64_t value, std::string* error);

}  // namespace qvgateway
