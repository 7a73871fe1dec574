// Text out of a tool, always UTF-8 inside. Files and pipes get UTF-8
// bytes; a Windows console gets UTF-16 through WriteConsoleW, since its
// code page would garble the driver's Chinese text.
#pragma once

#include <string>

namespace qvhost {

enum class Stream { Out, Err };

// Writes and flushes; a console_text_* file knows the console. False when
// the text could not be written (a full disk, a closed pipe), with the
// system's reason in errno (Linux) or GetLastError (Windows).
bool WriteText(Stream stream, const std::string& utf8);

// The system's message for the last failed write.
std::string LastWriteError();

// A terminal or console, where progress may be shown and rewritten.
bool IsTerminal(Stream stream);

}  // namespace qvhost
