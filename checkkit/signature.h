// The Authenticode signature of a file as Windows judges it on this machine.
#pragma once

#include "checkkit/report.h"

#include <windows.h>

#include <string>

struct SignatureFacts {
    bool isSigned = false;  // the file carries a signature at all
    LONG trust = 0;         // WinVerifyTrust's answer: 0 when Windows trusts the signature
    std::string signer;     // the signing certificate's subject, as the shell shows it
    std::string issuer;     // who issued that certificate
    std::string timeStamp;  // "RFC 3161", "Authenticode" or empty when there is none
};

// Reads the signature of `path` and asks WinVerifyTrust about it, without
// revocation checks (a disposable machine may have no network).
SignatureFacts ReadSignature(const std::wstring& path);

// WinVerifyTrust's answer in words, with its code.
std::string TrustInWords(LONG trust);

// The check "signature" of the setup.exe at `setupExe`: passes when Windows
// trusts its signature and it carries a time stamp; warns for a root this
// machine does not trust or a missing time stamp; fails for any other
// rejection; skips an unsigned file.
CheckResult SignatureResult(const std::wstring& setupExe);
