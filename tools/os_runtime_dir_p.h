#pragma once

// The user's private runtime directory: the one place for the
// single-instance socket and lock file and for the data tree's lock and
// shared blocks. Only its owner can enter it, so another user can neither
// read, pre-create nor block anything in it.
//
// Candidates, in order:
//   1. $XDG_RUNTIME_DIR/velmora, when XDG_RUNTIME_DIR is an absolute path to
//      a directory of ours that others cannot write to;
//   2. $TMPDIR/velmora-<uid> (/tmp when TMPDIR is unset or not absolute).
// A candidate is used only when it is a real directory (no symbolic link)
// owned by us with no access for group or others. One that fails is refused
// as it is, never repaired with chmod: someone else may already have been
// inside. The program that starts the others (the host) may go on to a
// private directory of its own when both are refused (PrepareRuntimeDir).

#include <string>

namespace Tools::detail {

struct RuntimeDirResult {
    // The directory to use; empty when none can be had.
    std::string path;
    // Why a candidate was refused, naming it; empty when the first one was
    // used as it is.
    std::string problem;
};

// create: make the chosen candidate (mode 0700) when it is missing. Without
// it, a missing first candidate gives an empty path: there is nothing of
// ours yet, and looking further would find a place that is not in use.
RuntimeDirResult FindRuntimeDir(bool create);

// Empty when path is a private directory of ours (made 0700 first when
// create is set and it is missing); otherwise why not, naming path.
std::string CheckPrivateDirectory(const std::string& path, bool create);

// For the host, before any thread starts: FindRuntimeDir(true), and when
// both candidates are refused, an earlier private directory
// <tmp>/velmora-<uid>-XXXXXX of ours or a new one made with mkdtemp.
// XDG_RUNTIME_DIR is then pointed at it, so that this process, the plugin
// processes it starts and a later start of the host all find the same
// place. problem says what was refused and what is used instead; with an
// empty path it says why the program cannot run safely.
RuntimeDirResult PrepareRuntimeDir();

}  // namespace Tools::detail
