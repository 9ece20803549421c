// The package's MD5 digest (OpenSSL) and its comparison with the digest the
// job was given.
#pragma once

#include <string>
#include <string_view>

// 32 lowercase hexadecimal digits of the file's MD5 digest; empty when the
// file cannot be opened or read to its end. Any thread.
std::string Md5OfFile(const std::string& path);

// Whether `computed` equals `expected`, ASCII letters compared without case.
// An empty text on either side never matches: an unreadable package must
// not pass against an empty expected digest.
bool DigestMatches(std::string_view computed, std::string_view expected);
