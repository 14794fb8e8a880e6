#pragma once

// Pure parts of the system queries, exposed for tests.

namespace Tools::detail {

// True when the first set and non-empty value, in this order, starts with
// "zh"; of language only its first ':'-separated entry counts.
bool IsChineseLanguage(const char* language, const char* lc_all, const char* lc_messages, const char* lang);

// The connection type from a tree laid out like /sys/class/net.
const char* NetworkType(const char* sys_class_net, bool proxy_set);

}  // namespace Tools::detail
