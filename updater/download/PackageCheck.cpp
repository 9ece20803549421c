#include "download/PackageCheck.h"

bool NeedsSha256(const PackageExpectations& expected, const tavlin::signing::TrustedKeys* keys) {
    return !expected.sha256.empty() || keys != nullptr;
}

PackageVerdict CheckPackage(const PackageDigests& computed, const PackageExpectations& expected,
                            const tavlin::signing::TrustedKeys* keys) {
    if (!DigestMatches(computed.md5, expected.md5)) return PackageVerdict::Md5Mismatch;
    if (!expected.sha256.empty() && !DigestMatches(computed.sha256, expected.sha256))
        return PackageVerdict::Sha256Mismatch;
    if (!keys) return PackageVerdict::Accepted;
    if (expected.signature.empty()) return PackageVerdict::SignatureMissing;
    // Without its own SHA-256 there is nothing the signature could vouch for.
    if (computed.sha256.empty()) return PackageVerdict::SignatureInvalid;
    const std::string statement = tavlin::signing::SignedStatement(computed.sha256, computed.bytes);
    return keys->Verifies(statement, expected.signature) ? PackageVerdict::Accepted
                                                         : PackageVerdict::SignatureInvalid;
}

const char* VerdictText(PackageVerdict verdict) {
    switch (verdict) {
        case PackageVerdict::Accepted:
            return "accepted";
        case PackageVerdict::Md5Mismatch:
            return "MD5 does not match";
        case PackageVerdict::Sha256Mismatch:
            return "SHA-256 does not match";
        case PackageVerdict::SignatureMissing:
            return "no signature (this updater accepts signed packages only)";
        case PackageVerdict::SignatureInvalid:
            return "signature does not verify under a trusted key";
    }
    return "rejected";
}
