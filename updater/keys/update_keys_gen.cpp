// Build step: checks a file of trusted public keys and writes the source
// that compiles its text into the updater.
//
//   tavlin_update_keys_gen KEYS.pem OUT.cpp
//
// Fails (exit 1, a message naming the file) when the file cannot be read or
// is not one or more Ed25519 public keys in PEM form, so that a bad key
// file stops the build rather than every later update.
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

#include "signing/PackageSignature.h"

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: tavlin_update_keys_gen KEYS.pem OUT.cpp\n");
        return 2;
    }
    std::ifstream in(argv[1], std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    if (!in) {
        std::fprintf(stderr, "TAVLIN_UPDATE_KEYS: cannot read %s\n", argv[1]);
        return 1;
    }
    const std::string pem = text.str();
    if (pem.find("PRIVATE KEY") != std::string::npos) {
        std::fprintf(stderr, "TAVLIN_UPDATE_KEYS: %s holds a private key; give the public keys only "
                             "(openssl pkey -in KEY.pem -pubout)\n", argv[1]);
        return 1;
    }
    std::string error;
    const auto keys = tavlin::signing::TrustedKeys::FromPem(pem, error);
    if (!keys) {
        std::fprintf(stderr, "TAVLIN_UPDATE_KEYS: %s is not a file of Ed25519 public keys in PEM form: %s\n", argv[1],
                     error.c_str());
        return 1;
    }

    std::ostringstream out;
    out << "// Generated from " << argv[1] << " by tavlin_update_keys_gen: " << keys->size()
        << " trusted key(s).\n#include \"UpdateKeys.h\"\n\nnamespace {\nconstexpr char kPem[] = {";
    for (size_t i = 0; i < pem.size(); ++i) {
        if (i % 16 == 0) out << "\n   ";
        out << ' ' << static_cast<int>(static_cast<unsigned char>(pem[i])) << ',';
    }
    out << " 0};\n}  // namespace\n\nstd::string_view BuiltInUpdateKeysPem() { return {kPem, sizeof kPem - 1}; }\n";
    std::ofstream file(argv[2], std::ios::binary | std::ios::trunc);
    file << out.str();
    if (!file.flush()) {
        std::fprintf(stderr, "TAVLIN_UPDATE_KEYS: cannot write %s\n", argv[2]);
        return 1;
    }
    return 0;
}
