// The statement a package signature covers: the same text on every system.
#include <gtest/gtest.h>

#include <cctype>
#include <string>

#include "signing/PackageSignature.h"

using tavlin::signing::SignedStatement;

namespace {

const std::string kDigest = "9f86d081884c7d659a2feaa0c55ad015a3bf4f1b2b0b822cd15d6c15b0f00a08";

TEST(SignedStatementTest, NamesDigestInLowerCaseAndSize) {
    EXPECT_EQ("tavlin-package-signature-v1\nsha256 " + kDigest + "\nsize 104857600\n",
              SignedStatement(kDigest, 104857600));
    std::string upper = kDigest;
    for (char& c : upper) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
    EXPECT_EQ(SignedStatement(kDigest, 7), SignedStatement(upper, 7));
}

}  // namespace
