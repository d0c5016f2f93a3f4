// Signature checks of control messages by the X-PGP-Sig convention that
// hierarchy administrators sign with. The header reads
//
//     X-PGP-Sig: <version> <signed header names, comma-separated>
//         <armour lines of a detached text-mode signature, one per line>
//
// and the signed text is rebuilt from the message: "X-Signed-Headers: "
// and the name list, then for each named header in order "<name>: <value>"
// (the first header of that name, folded lines kept, empty when absent),
// an empty line, and the body with dot-stuffing undone; lines end in LF.
// gpgv (Debian's gnupg package) checks the signature against the keyring
// the operator names.
#pragma once

#include <string>

struct ControlArticle;

// The signed text and the armoured signature rebuilt from the message;
// false with the reason in *error when it has no usable X-PGP-Sig header.
bool RebuildSignedText(const ControlArticle& article, std::string* text, std::string* signature, std::string* error);

struct SignatureCheck {
    bool good = false;
    std::string signer;  // the user ID of the key that made a good signature
    std::string reason;  // why it is not good
};

// Runs `gpgv` (an absolute path) on the message's signature against
// `keyring` with scratch files below `scratchParent`: good only when gpgv
// exits 0 and reports a good signature.
SignatureCheck VerifyControlSignature(const ControlArticle& article, const std::string& gpgv,
                                      const std::string& keyring, const std::string& scratchParent);
