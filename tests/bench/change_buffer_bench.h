// The store-and-forward file under the bench: what each buffered change
// costs while the broker is away, and how fast a replay reads them back.
#pragma once

#include <string>

namespace gwbench {

// `changes` changes of about 60 bytes appended into a folder under `work`,
// then read back in batches of 100 and 1000 (Peek and Consume), each
// checked: ns per Append, the time to open what was left, and changes a
// second replayed, printed and returned as JSON ("\"buffer\": {...}").
// `failures` grows on a change not read back as written.
std::string ChangeBufferBench(const std::string& work, int changes, int* failures);

}  // namespace gwbench
