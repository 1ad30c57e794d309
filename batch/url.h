// Where the native engine connects: a redis:// or unix:// URL taken apart.
#pragma once

#include <cstddef>
#include <string>

namespace quorbel::batch {

struct Endpoint {
    std::string host; // TCP host (an IPv6 literal without its brackets); empty for a unix socket
    int port = 6379;
    std::string unix_path; // non-empty: a unix socket
    std::string user;      // ACL user; empty: AUTH with the password alone
    std::string password;
    bool auth = false; // send AUTH
    long long db = 0;  // SELECT when non-zero
};

// Accepts redis://[[user]:password@]host[:port][/db] and unix:///path[?db=N], with user,
// password and path percent-decoded. True and `out` filled, or false and `error` holding the
// ValueError's message (out is then unspecified). Allocates; never throws under -fno-exceptions.
bool parse_url(const char *url, std::size_t len, Endpoint &out, std::string &error) noexcept;

} // namespace quorbel::batch
