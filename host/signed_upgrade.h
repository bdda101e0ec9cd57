#pragma once
// The signature an upgrade must carry when "UpgradeSigner:" is set
// (link/link_security.h): an Authenticode signature of the executable whose
// signer's key is one of the pins. The pin is the whole trust: no chain to a
// root, no time stamp, no expiry (the machine may have no network and no
// clock to trust). What is checked, all of it in the bytes given:
//
//  - the PE headers (PE32 or PE32+) name a certificate table that ends the
//    file, as signing tools put it;
//  - its first entry is a WIN_CERTIFICATE (revision 2.0, PKCS signed data)
//    holding a PKCS #7 SignedData whose content is Authenticode's
//    SpcIndirectDataContent, whose SHA-256 digest is the image digest of
//    the file: every byte before the certificate table except the checksum
//    field and the certificate table's directory entry;
//  - its one SignerInfo (the primary signature) uses SHA-256; its signed
//    attributes hold the content type and the message digest, the SHA-256
//    of the SpcIndirectDataContent's content; their DER SET OF verifies
//    with the key of the signer's certificate (found by issuer and serial
//    number among the SignedData's certificates), RSA (PKCS #1 v1.5) or
//    ECDSA P-256 through platform::Crypto; and that key's pin is allowed.
//
// Nothing in the bytes is trusted: every size is checked against what is
// there, the time is linear in the size and nothing is allocated beyond a
// copy of the signed attributes. A key that is not pinned never reaches the
// cryptography.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "base/pins.h"

namespace orvalinth {

// True when `bytes` is an executable signed as above by a key of `pins`;
// false with *why, a short reason for the log and the console ("the
// executable is not signed", "the signature is not by an allowed signer (its
// key's pin is ...)", "the executable was changed after it was signed", "the
// signature block is damaged (...)", "the signature does not verify", "the
// signature uses SHA-1, not SHA-256", ...). With no pins nothing passes.
bool VerifyUpgradeSignature(const uint8_t* bytes, size_t size, const std::vector<SXPin>& pins, std::string* why);

}  // namespace orvalinth
