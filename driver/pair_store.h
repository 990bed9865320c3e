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

// The pairs listed in `file`, in store order; a missing file lists none and
// lines that are not a pair number are skipped.
std::vector<int> readPairStore(const std::string& file);
// The pairs of the current user's store.
std::vector<int> installedPairs();

// Adds the lowest free pair number and returns it. Throws EPairStore.
int addPairToStore();
// Removes pair `pairNumber`; false when it was not listed. Throws EPairStore.
bool removePairFromStore(int pairNumber);

// Where the user's program finds the user-facing side of pair n:
// $XDG_RUNTIME_DIR/zelvane-tunnel/ttyZV<n>, else /tmp/zelvane-tunnel-<uid>/ttyZV<n>.
std::string runtimeFolder();
std::string userFacingPortName(int pairNumber); // "ttyZV<n>"
std::string userFacingPortPath(int pairNumber);
std::string hiddenPortName(int pairNumber); // "CNCB<n>"

// One line describing pair n, as addCom and setupc print it.
std::string describePair(int pairNumber);

// Creates `path` (and missing parents) with mode 0700 and makes sure it is a
// folder of the current user that nobody else can enter. Throws EPairStore.
void ensurePrivateFolder(const std::string& path);
