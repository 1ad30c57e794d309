// Taking a redis:// or unix:// URL apart, with a message that names what is wrong.
#include "batch/url.h"

#include <arpa/inet.h>
#include <sys/un.h>

#include <algorithm>
#include <cstring>
#include <utility>

namespace quorbel::batch {

namespace {

using View = std::pair<const char *, const char *>; // [first, last)

constexpr long long kMaxDb = 2147483647; // SELECT takes an int

bool starts_with_nocase(const char *p, const char *end, const char *prefix) {
    for (; *prefix != '\0'; ++p, ++prefix) {
        char c = p == end ? '\0' : *p;
        if ((c >= 'A' && c <= 'Z' ? c | 0x20 : c) != *prefix) {
            return false;
        }
    }
    return true;
}

const char *find(const char *first, const char *last, char c);

// "name://", the name as RFC 3986 spells a scheme.
bool has_scheme(const char *url, const char *end) {
    const char *p = url;
    while (p != end && ((*p >= 'a' && *p <= 'z') || (*p >= 'A' && *p <= 'Z') ||
                        (*p >= '0' && *p <= '9') || *p == '+' || *p == '-' || *p == '.')) {
        ++p;
    }
    return p != url && end - p >= 3 && std::memcmp(p, "://", 3) == 0;
}

const char *find(const char *first, const char *last, char c) {
    const void *hit = std::memchr(first, c, static_cast<std::size_t>(last - first));
    return hit != nullptr ? static_cast<const char *>(hit) : last;
}

const char *find_last(const char *first, const char *last, char c) {
    for (const char *p = last; p != first;) {
        if (*--p == c) {
            return p;
        }
    }
    return last;
}

int hex_value(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    c = static_cast<char>(c | 0x20);
    return c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
}

// %XX escapes into bytes; "+" stays itself, as redis-py's unquote() keeps it.
bool percent_decode(View in, std::string &out, const char *what, std::string &error) {
    out.clear();
    for (const char *p = in.first; p != in.second; ++p) {
        if (*p != '%') {
            out.push_back(*p);
            continue;
        }
        int hi = in.second - p > 2 ? hex_value(p[1]) : -1;
        int lo = hi >= 0 ? hex_value(p[2]) : -1;
        if (lo < 0) {
            error = std::string("invalid percent-encoding in the url's ") + what +
                    ": '%' must be followed by two hex digits";
            return false;
        }
        out.push_back(static_cast<char>(hi * 16 + lo));
        p += 2;
    }
    return true;
}

// A decimal of at most 10 digits, no sign, no spaces; -1 when it is not one.
long long parse_decimal(View v) {
    if (v.first == v.second || v.second - v.first > 10) {
        return -1;
    }
    long long n = 0;
    for (const char *p = v.first; p != v.second; ++p) {
        if (*p < '0' || *p > '9') {
            return -1;
        }
        n = n * 10 + (*p - '0');
    }
    return n;
}

std::string shown(View v) {
    constexpr std::ptrdiff_t kMax = 40;
    std::string s(v.first, static_cast<std::size_t>(std::min(v.second - v.first, kMax)));
    return "'" + s + (v.second - v.first > kMax ? "...'" : "'");
}

bool parse_db(View v, const char *where, long long &db, std::string &error) {
    db = parse_decimal(v);
    if (db < 0 || db > kMaxDb) {
        error = "invalid database " + shown(v) + " in the url's " + where +
                ": expected an integer from 0 to 2147483647";
        return false;
    }
    return true;
}

// [user]:password, both percent-decoded; AUTH is sent when either is non-empty.
bool parse_userinfo(View v, Endpoint &out, std::string &error) {
    const char *colon = find(v.first, v.second, ':');
    if (!percent_decode({v.first, colon}, out.user, "user name", error)) {
        return false;
    }
    View password{colon == v.second ? v.second : colon + 1, v.second};
    if (!percent_decode(password, out.password, "password", error)) {
        return false;
    }
    out.auth = !out.user.empty() || !out.password.empty();
    return true;
}

bool parse_port(View v, Endpoint &out, std::string &error) {
    long long port = parse_decimal(v);
    if (port < 1 || port > 65535) {
        error = "invalid port " + shown(v) + " in the url: expected an integer from 1 to 65535";
        return false;
    }
    out.port = static_cast<int>(port);
    return true;
}

bool parse_host(View v, Endpoint &out, std::string &error) {
    const char *port = v.second;
    if (v.first != v.second && *v.first == '[') {
        const char *close = find(v.first, v.second, ']');
        if (close == v.second) {
            error = "invalid IPv6 address in the url: '[' without its ']'";
            return false;
        }
        // A zone ("fe80::1%25eth0", RFC 6874) is the resolver's business; the address must be one.
        if (!percent_decode({v.first + 1, close}, out.host, "host", error)) {
            return false;
        }
        std::string address = out.host.substr(0, out.host.find('%'));
        in6_addr unused;
        if (inet_pton(AF_INET6, address.c_str(), &unused) != 1) {
            error = "invalid IPv6 address " + shown({v.first, close + 1}) + " in the url";
            return false;
        }
        if (close + 1 != v.second && close[1] != ':') {
            error = "unexpected " + shown({close + 1, v.second}) +
                    " after the IPv6 address in the url: expected ':port'";
            return false;
        }
        port = close + 1;
    } else {
        port = find(v.first, v.second, ':');
        if (find(port == v.second ? port : port + 1, v.second, ':') != v.second) {
            error = "an IPv6 address in a url must be in brackets, e.g. redis://[::1]:6379/0";
            return false;
        }
        out.host.assign(v.first, port);
        if (out.host.empty()) {
            error = "the url has no host: expected redis://host[:port][/db]";
            return false;
        }
        for (unsigned char c : out.host) {
            if (c <= ' ' || c == 0x7f || c == '%') {
                error = "invalid character in the url's host " + shown({v.first, port});
                return false;
            }
        }
    }
    return port == v.second || parse_port({port + 1, v.second}, out, error);
}

// The query: only db=N, which redis-py also reads; any other option would be silently lost.
bool parse_query(View v, bool &has_db, long long &db, std::string &error) {
    for (const char *p = v.first; p < v.second;) {
        const char *amp = find(p, v.second, '&');
        const char *eq = find(p, amp, '=');
        View key{p, eq};
        if (eq == amp || std::string(key.first, key.second) != "db") {
            error = "unsupported option " + shown(key) +
                    " in the url: only db=N is understood (timeouts are BatchClient arguments)";
            return false;
        }
        if (has_db) {
            error = "the url gives the database twice";
            return false;
        }
        if (!parse_db({eq + 1, amp}, "query", db, error)) {
            return false;
        }
        has_db = true;
        p = amp + 1;
    }
    return true;
}

bool parse_unix_path(View v, Endpoint &out, std::string &error) {
    if (!percent_decode(v, out.unix_path, "path", error)) {
        return false;
    }
    if (out.unix_path.empty() || out.unix_path[0] != '/') {
        error = "a unix socket url needs an absolute path: unix:///path/to/redis.sock[?db=N]";
        return false;
    }
    if (out.unix_path.find('\0') != std::string::npos) {
        error = "the unix socket path in the url contains a NUL byte";
        return false;
    }
    if (out.unix_path.size() >= sizeof(sockaddr_un::sun_path)) {
        error = "the unix socket path in the url is too long (" +
                std::to_string(out.unix_path.size()) + " bytes; at most " +
                std::to_string(sizeof(sockaddr_un::sun_path) - 1) + ")";
        return false;
    }
    return true;
}

bool parse(const char *url, const char *end, Endpoint &out, std::string &error) {
    if (find(url, end, '\0') != end) {
        error = "the url contains a NUL character";
        return false;
    }
    if (find(url, end, '#') != end) {
        error = "the url must not have a fragment ('#...')";
        return false;
    }
    bool is_unix = starts_with_nocase(url, end, "unix://");
    if (!is_unix && !starts_with_nocase(url, end, "redis://")) {
        if (starts_with_nocase(url, end, "rediss://")) {
            error = "rediss:// (TLS) is not supported by url=: pass a TLS-configured redis-py "
                    "client as client= instead, e.g. BatchClient(client=redis.Redis(host, "
                    "port, ssl=True, ...))";
        } else if (has_scheme(url, end)) {
            error = "unsupported url scheme " + shown({url, find(url, end, ':')}) +
                    ": expected redis:// or unix://";
        } else {
            error = "the url must start with redis:// or unix://, e.g. redis://localhost:6379/0";
        }
        return false;
    }
    const char *authority = url + (is_unix ? 7 : 8);
    const char *query = find(authority, end, '?');
    const char *path = find(authority, query, '/');
    const char *at = find_last(authority, path, '@');
    if (at != path && !parse_userinfo({authority, at}, out, error)) {
        return false;
    }
    View host{at == path ? authority : at + 1, path};
    bool has_db = false;
    long long db = 0;
    if (query != end && !parse_query({query + 1, end}, has_db, db, error)) {
        return false;
    }
    if (is_unix) {
        if (host.first != host.second) {
            error = "a unix socket url has no host: write unix:///path/to/redis.sock";
            return false;
        }
        if (!parse_unix_path({path, query}, out, error)) {
            return false;
        }
    } else {
        if (!parse_host(host, out, error)) {
            return false;
        }
        if (path != query && path + 1 != query) {
            if (has_db) {
                error = "the url gives the database twice";
                return false;
            }
            if (!parse_db({path + 1, query}, "path", db, error)) {
                return false;
            }
        }
    }
    out.db = db;
    return true;
}

} // namespace

bool parse_url(const char *url, std::size_t len, Endpoint &out, std::string &error) noexcept {
    out = Endpoint();
    error.clear();
    if (url == nullptr) {
        error = "no url given";
        return false;
    }
    return parse(url, url + len, out, error);
}

} // namespace quorbel::batch
