#pragma once

namespace Application {

// Creates path and its missing parents; path itself is made, or narrowed
// to, access by the user only (0700), since what it holds (logs) is private.
// A path that belongs to another user is left alone. True when path is a
// directory of ours that nobody else can reach through its own mode.
bool MakePrivateDirectory(const char* path);

}  // namespace Application
