#include "checkkit/signature.h"

#include "checkkit/text.h"

#include <softpub.h>
#include <wincrypt.h>
#include <wintrust.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

namespace {

struct StoreCloser {
    void operator()(HCERTSTORE store) const noexcept { CertCloseStore(store, 0); }
};
struct MessageCloser {
    void operator()(HCRYPTMSG message) const noexcept { CryptMsgClose(message); }
};
struct CertificateFreer {
    void operator()(PCCERT_CONTEXT certificate) const noexcept {
        CertFreeCertificateContext(certificate);
    }
};

// The Authenticode time stamp of old (a PKCS #9 countersignature) and the
// RFC 3161 one that signing tools add today.
constexpr char kCounterSignature[] = "1.2.840.113549.1.9.6";
constexpr char kRfc3161TimeStamp[] = "1.3.6.1.4.1.311.3.3.1";

std::string NameOf(PCCERT_CONTEXT certificate, DWORD flags) {
    wchar_t name[512] = {};
    CertGetNameStringW(certificate, CERT_NAME_SIMPLE_DISPLAY_TYPE, flags, nullptr, name, 512);
    return Narrow(name);
}

LONG AskWinVerifyTrust(const std::wstring& path) {
    WINTRUST_FILE_INFO file = {};
    file.cbStruct = sizeof file;
    file.pcwszFilePath = path.c_str();
    WINTRUST_DATA data = {};
    data.cbStruct = sizeof data;
    data.dwUIChoice = WTD_UI_NONE;
    data.fdwRevocationChecks = WTD_REVOKE_NONE;
    data.dwUnionChoice = WTD_CHOICE_FILE;
    data.pFile = &file;
    data.dwStateAction = WTD_STATEACTION_VERIFY;
    data.dwProvFlags = WTD_CACHE_ONLY_URL_RETRIEVAL;
    GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;
    const LONG trust = WinVerifyTrust(static_cast<HWND>(INVALID_HANDLE_VALUE), &action, &data);
    data.dwStateAction = WTD_STATEACTION_CLOSE;
    WinVerifyTrust(static_cast<HWND>(INVALID_HANDLE_VALUE), &action, &data);
    return trust;
}

}  // namespace

SignatureFacts ReadSignature(const std::wstring& path) {
    SignatureFacts facts;
    DWORD encoding = 0;
    DWORD contentType = 0;
    DWORD formatType = 0;
    HCERTSTORE rawStore = nullptr;
    HCRYPTMSG rawMessage = nullptr;
    if (!CryptQueryObject(CERT_QUERY_OBJECT_FILE, path.c_str(),
                          CERT_QUERY_CONTENT_FLAG_PKCS7_SIGNED_EMBED, CERT_QUERY_FORMAT_FLAG_BINARY,
                          0, &encoding, &contentType, &formatType, &rawStore, &rawMessage, nullptr))
        return facts;
    const std::unique_ptr<void, StoreCloser> store(rawStore);
    const std::unique_ptr<void, MessageCloser> message(rawMessage);
    facts.isSigned = true;
    facts.trust = AskWinVerifyTrust(path);

    DWORD size = 0;
    if (!CryptMsgGetParam(message.get(), CMSG_SIGNER_INFO_PARAM, 0, nullptr, &size))
        return facts;
    std::vector<unsigned char> buffer(size);
    if (!CryptMsgGetParam(message.get(), CMSG_SIGNER_INFO_PARAM, 0, buffer.data(), &size))
        return facts;
    const auto* signer = reinterpret_cast<const CMSG_SIGNER_INFO*>(buffer.data());
    CERT_INFO wanted = {};
    wanted.Issuer = signer->Issuer;
    wanted.SerialNumber = signer->SerialNumber;
    const std::unique_ptr<const CERT_CONTEXT, CertificateFreer> certificate(
        CertFindCertificateInStore(store.get(), encoding, 0, CERT_FIND_SUBJECT_CERT, &wanted,
                                   nullptr));
    if (certificate) {
        facts.signer = NameOf(certificate.get(), 0);
        facts.issuer = NameOf(certificate.get(), CERT_NAME_ISSUER_FLAG);
    }
    for (DWORD i = 0; i < signer->UnauthAttrs.cAttr; ++i) {
        const char* id = signer->UnauthAttrs.rgAttr[i].pszObjId;
        if (std::strcmp(id, kRfc3161TimeStamp) == 0)
            facts.timeStamp = "RFC 3161";
        else if (std::strcmp(id, kCounterSignature) == 0 && facts.timeStamp.empty())
            facts.timeStamp = "Authenticode";
    }
    return facts;
}

std::string TrustInWords(LONG trust) {
    const struct {
        LONG code;
        const char* words;
    } known[] = {
        {0, "trusted"},
        {static_cast<LONG>(CERT_E_UNTRUSTEDROOT),
         "its chain ends at a root certificate that this machine does not trust"},
        {static_cast<LONG>(CERT_E_CHAINING), "its chain does not reach a root certificate"},
        {static_cast<LONG>(CERT_E_EXPIRED), "a certificate of its chain has expired"},
        {static_cast<LONG>(CERT_E_REVOKED), "a certificate of its chain is revoked"},
        {static_cast<LONG>(CERT_E_WRONG_USAGE), "the certificate is not for code signing"},
        {static_cast<LONG>(TRUST_E_BAD_DIGEST),
         "the file was changed after it was signed (its hash does not match the signature)"},
        {static_cast<LONG>(TRUST_E_NOSIGNATURE), "Windows finds no valid signature"},
        {static_cast<LONG>(TRUST_E_EXPLICIT_DISTRUST), "the certificate is marked as distrusted"},
        {static_cast<LONG>(TRUST_E_SUBJECT_NOT_TRUSTED), "the signature is not trusted"},
        {static_cast<LONG>(CRYPT_E_SECURITY_SETTINGS),
         "this machine's settings forbid trusting it"},
    };
    char code[16];
    std::snprintf(code, sizeof code, "0x%08lX", static_cast<unsigned long>(trust));
    for (const auto& entry : known) {
        if (entry.code == trust)
            return std::string(entry.words) + " (WinVerifyTrust " + code + ")";
    }
    return std::string("not trusted (WinVerifyTrust ") + code + ")";
}

// Signed and trusted passes; signed by a certificate whose root this machine
// does not trust is a warning (a company's own CA is trusted only where the
// company has put it, never on a fresh machine); a signature that Windows
// rejects for any other reason fails: users would see it rejected too.
CheckResult SignatureResult(const std::wstring& setupExe) {
    CheckResult result;
    result.name = "signature";
    const SignatureFacts facts = ReadSignature(setupExe);
    if (!facts.isSigned) {
        result.outcome = CheckResult::Outcome::kSkipped;
        result.why = Narrow(setupExe) + " is not signed";
        result.details = {result.why};
        return result;
    }
    const std::string who =
        "signed by \"" + facts.signer + "\" (issued by \"" + facts.issuer + "\")";
    const std::string stamp = facts.timeStamp.empty()
                                  ? "no time stamp (the signature lapses when the certificate "
                                    "expires)"
                                  : "time stamped (" + facts.timeStamp + ")";
    const std::string said = who + "; " + TrustInWords(facts.trust) + "; " + stamp;
    result.details = {said};
    if (facts.trust == static_cast<LONG>(CERT_E_UNTRUSTEDROOT) ||
        facts.trust == static_cast<LONG>(CERT_E_CHAINING)) {
        result.outcome = CheckResult::Outcome::kWarning;
        result.why = said +
                     ": users whose machines do not trust that root see an unknown "
                     "publisher";
    } else if (facts.trust != 0) {
        result.outcome = CheckResult::Outcome::kFailed;
        result.why = said;
    } else if (facts.timeStamp.empty()) {
        result.outcome = CheckResult::Outcome::kWarning;
        result.why = said;
    } else {
        result.why = said;
    }
    return result;
}
