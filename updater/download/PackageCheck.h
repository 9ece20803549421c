// Whether a downloaded package may be installed: its MD5 always, its
// SHA-256 when the job names one, its signature when the program was built
// with trusted keys. The signature covers a statement of the package's
// SHA-256 and size as computed here from the package, never as the job
// gives them.
#pragma once

#include <string>

#include "download/DownloadDigest.h"
#include "signing/PackageSignature.h"

// What the job asks of the package, as received on its command line.
struct PackageExpectations {
    std::string md5;
    std::string sha256;     // "": not asked for
    std::string signature;  // base64; looked at only with trusted keys
};

enum class PackageVerdict {
    Accepted,
    Md5Mismatch,
    Sha256Mismatch,
    SignatureMissing,
    SignatureInvalid,
};

// `computed` must hold the SHA-256 whenever the job names one or `keys` is
// given (see NeedsSha256); `keys` null: no signature is asked for.
PackageVerdict CheckPackage(const PackageDigests& computed, const PackageExpectations& expected,
                            const tavlin::signing::TrustedKeys* keys);

bool NeedsSha256(const PackageExpectations& expected, const tavlin::signing::TrustedKeys* keys);

// A short English reason for the log ("MD5 does not match", ...).
const char* VerdictText(PackageVerdict verdict);
