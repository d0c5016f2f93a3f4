// X-PGP-Sig signatures, checked by a gpgv child process on files in a
// scratch directory: no shell, a fixed argument list, bounded output and a
// time limit, so a hostile message cannot make the check run long or large.
#include "control/pgp_verify.h"

#include <sstream>
#include <vector>

#include "control/control_article.h"
#include "platform/directory.h"
#include "platform/subprocess.h"

namespace {

constexpr size_t kMaxGpgvOutput = 64 * 1024;
constexpr int kGpgvTimeoutMs = 20000;
constexpr std::string_view kGoodSig = "[GNUPG:] GOODSIG ";

std::vector<std::string> SplitWords(const std::string& text)
{
    std::istringstream in(text);
    std::vector<std::string> words;
    for (std::string word; in >> word;)
        words.push_back(word);
    return words;
}

std::vector<std::string> SplitNames(const std::string& list)
{
    std::vector<std::string> names;
    std::istringstream in(list);
    for (std::string name; std::getline(in, name, ',');)
        names.push_back(name);
    return names;
}

// "GOODSIG <long key id> <user id>": the user ID, or empty.
std::string GoodSigner(const std::string& output)
{
    size_t at = output.find(kGoodSig);
    if (at == std::string::npos)
        return {};
    size_t id = output.find(' ', at + kGoodSig.size());
    size_t end = output.find('\n', at);
    if (id == std::string::npos || (end != std::string::npos && id > end))
        return {};
    return output.substr(id + 1, end == std::string::npos ? std::string::npos : end - id - 1);
}

// Keyring names without a slash are taken by gpgv from its home directory.
std::string KeyringArgument(const std::string& keyring)
{
    return keyring.find('/') == std::string::npos ? "./" + keyring : keyring;
}

}  // namespace

bool RebuildSignedText(const ControlArticle& article, std::string* text, std::string* signature, std::string* error)
{
    const ControlHeader* sig = FindControlHeader(article, "X-PGP-Sig");
    if (sig == nullptr) {
        *error = "no X-PGP-Sig header";
        return false;
    }
    std::vector<std::string> words = SplitWords(UnfoldToText(sig->value, false));
    if (words.size() < 3) {
        *error = "X-PGP-Sig header without version, header list and signature";
        return false;
    }
    *text = "X-Signed-Headers: " + words[1] + "\n";
    for (const std::string& name : SplitNames(words[1])) {
        const ControlHeader* header = FindControlHeader(article, name);
        *text += name + ": " + (header != nullptr ? UnfoldToText(header->value, false) : std::string()) + "\n";
    }
    *text += "\n" + UnfoldToText(article.body, true);
    *signature = "-----BEGIN PGP SIGNATURE-----\nVersion: " + words[0] + "\n\n";
    for (size_t i = 2; i < words.size(); ++i)
        *signature += words[i] + "\n";
    *signature += "-----END PGP SIGNATURE-----\n";
    return true;
}

SignatureCheck VerifyControlSignature(const ControlArticle& article, const std::string& gpgv,
                                      const std::string& keyring, const std::string& scratchParent)
{
    SignatureCheck check;
    std::string text, signature;
    if (!RebuildSignedText(article, &text, &signature, &check.reason))
        return check;
    if (keyring.empty()) {
        check.reason = "no ControlKeyring set";
        return check;
    }
    ScratchDirectory scratch(scratchParent);
    if (!scratch.Write("message", text) || !scratch.Write("message.asc", signature)) {
        check.reason = "cannot write scratch files below " + scratchParent;
        return check;
    }
    const std::string& dir = scratch.path();
    ProgramRun run = RunProgram({gpgv, "--homedir", dir, "--status-fd", "1", "--keyring", KeyringArgument(keyring),
                                 dir + "/message.asc", dir + "/message"},
                                kMaxGpgvOutput, kGpgvTimeoutMs);
    check.signer = GoodSigner(run.output);
    check.good = run.status == 0 && !check.signer.empty();
    if (run.status == ProgramRun::kNotStarted)
        check.reason = "cannot run " + gpgv;
    else if (run.status == ProgramRun::kTimedOut)
        check.reason = "gpgv did not finish in time";
    else if (!check.good)
        check.reason = "bad signature (gpgv status " + std::to_string(run.status) + ")";
    return check;
}
