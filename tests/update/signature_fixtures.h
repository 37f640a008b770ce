// The minisign fixtures of the update tests (made by make-signatures.sh for
// this build) and signed update-check bodies built from them.
#pragma once

#include <string>

namespace update_test {

// Bytes of a file in the fixture folder (a failed check when missing).
std::string SignatureFixture(const std::wstring& name);
// Line `index` (from 0) of a minisign file, without its line end.
std::string MinisignLine(const std::string& text, int index);
// A signature block holding the .minisig text `minisig`.
std::string SignatureBlock(const std::string& minisig, const std::string& lineEnd = "\n");
// The fixture manifest `name` followed by the block of `name`.minisig.
std::string SignedManifest(const std::wstring& name);
// The public key line of the fixture key pair.
std::string PublicKeyLine();

}  // namespace update_test
