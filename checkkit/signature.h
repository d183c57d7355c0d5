// The Authenticode signature of a file as Windows judges it on this machine.
#pragma once

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
