#pragma once

#include <stdexcept>
#include <string>
#include <vector>

// The per-user list of installed virtual port pairs: a text file with one
// pair number per line, in the order the pairs were added, in
// $XDG_STATE_HOME/zelvane-tunnel (else ~/.local/state/zelvane-tunnel).
// Only addCom and setupc change it, under an advisory lock, replacing the
// file atomically.

class EPairStore : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

std::string pairStoreFolder();
std::string pairStoreFile();

// The text of a store: its pair numbers in order (a repeated number counts
// once, blank lines are allowed) and the lines that are not a pair number.
struct TPairList {
    std::vector<int> pairs;
    size_t badLines = 0;
};
TPairList parsePairList(const std::string& text);

// A store as read from `file`: a missing file lists none; `problem` says why a
// file that exists cannot be used (a folder in its place, a read error, more
// than 1 MB, or lines that are not pair numbers), empty when it can.
struct TPairStoreRead {
    std::vector<int> pairs; // those that could be read
    std::string problem;
};
TPairStoreRead loadPairStore(const std::string& file);
// The pairs of loadPairStore, whatever its problem.
std::vector<int> readPairStore(const std::string& file);

// When the current user's store cannot be used, renames it (file or folder)
// to "pairs.unreadable.<n>" beside it, keeps it there, and writes a new store
// with the pairs that could be read. Returns a line naming both paths and the
// cause, empty when the store was fine. Throws EPairStore when that fails.
// addPairToStore and removePairFromStore do the same before they change it.
std::string setAsideUnreadablePairStore();
// The pairs of the current user's store.
std::vector<int> installedPairs();

// Adds pair `wanted` when it is given (>= 0) and free, else the lowest free
// pair number, and returns it. Throws EPairStore. `setAside`, when given,
// receives the line of an unreadable store set aside.
int addPairToStore(std::string* setAside = nullptr, int wanted = -1);
// Removes pair `pairNumber`; false when it was not listed. Throws EPairStore.
bool removePairFromStore(int pairNumber, std::string* setAside = nullptr);

// Where the user's program finds the user-facing side of pair n:
// $XDG_RUNTIME_DIR/zelvane-tunnel/ttyZV<n>, else /tmp/zelvane-tunnel-<uid>/ttyZV<n>.
std::string runtimeFolder();
std::string userFacingPortName(int pairNumber); // "ttyZV<n>"
std::string userFacingPortPath(int pairNumber);
std::string hiddenPortName(int pairNumber); // "CNCB<n>"

// One line describing pair n, as addCom and setupc print it.
std::string describePair(int pairNumber);

// The advisory lock a running program holds on the current user's pair store
// for its whole life (a lock file beside the store). While it is held no other
// instance runs for this store, so pairs no saved tunnel names and the
// temporary files of an interrupted save belong to nobody. The lock goes with
// the object, or with the process however it ends.
class TSoleInstanceLock {
public:
    TSoleInstanceLock();
    ~TSoleInstanceLock();
    TSoleInstanceLock(const TSoleInstanceLock&) = delete;
    TSoleInstanceLock& operator=(const TSoleInstanceLock&) = delete;
    // False when another program holds it (or the lock file cannot be used).
    bool sole() const { return fd_ >= 0; }
    static std::string lockFile();

private:
    int fd_ = -1;
};

// The tunnels of more than one settings file use the pair list (a program ran
// with another settings file than the default): which pairs nobody needs can
// no longer be told from one file. The mark stays. Throws EPairStore.
void markPairStoreShared();
bool pairStoreShared();

// Creates `path` (and missing parents) with mode 0700 and makes sure it is a
// folder of the current user that nobody else can enter. Throws EPairStore.
void ensurePrivateFolder(const std::string& path);
