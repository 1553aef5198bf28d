#pragma once

#include <string>

// the host-side digest checks of a package, before anything is written

int verify_package(const std::string& package);
int verify_fileobj_hash(const std::string& package, const std::string& fwobj, const std::string& fileobj,
                        const std::string& manifest);
int verify_list_hash(const std::string& package, const std::string& list, const std::string& manifest);
int calculate_sha512_hash(const std::string& path, std::string& digest);
// the digest of a file with one of "md5", "sha256", "sha512"
int fwupdate_file_digest(const std::string& path, const std::string& algorithm, std::string& digest);
// the digest of a package member with one of "md5", "sha256", "sha512"
int fwupdate_member_digest(const std::string& package, const std::string& member, const std::string& algorithm,
                           std::string& digest);
bool fwupdate_digest_algorithm_ok(const std::string& algorithm);
