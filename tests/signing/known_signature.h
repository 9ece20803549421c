// A signature made once with the test-only key A (tests/update_keys) of
// the statement for a 3-byte package "abc", and that key's public half:
// checked where signatures can be verified, and offered to a build that
// cannot verify them, which must refuse it.
#pragma once

namespace signing_test {

constexpr const char kKeyAPublicPem[] =
    "-----BEGIN PUBLIC KEY-----\n"
    "MCowBQYDK2VwAyEA/pVfixMzVd8e4tzgOjIZnQwqts7uVU03u3ZuaidtQFs=\n"
    "-----END PUBLIC KEY-----\n";

constexpr const char kAbcSha256[] = "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad";
constexpr unsigned kAbcSize = 3;

// Ed25519 over SignedStatement(kAbcSha256, kAbcSize), by key A.
constexpr const char kAbcSignatureByKeyA[] =
    "npaxnFxkr05qzWF9qMI6RM85sAX2J+0MQ7FmK82EvZUS3r1LAtuJQM6wtKKdKLRci65mDdSHWRJ0SnsWvrTqBg==";

}  // namespace signing_test
