// Test-only driver of the wire layer (batch/url, batch/resp, batch/connection); never shipped.
//   wire_driver url URL...        one JSON object per URL
//   wire_driver resp < bytes      the reader's outcomes, one line per reply
//   wire_driver fuzz N            N random inputs through the reader; "ok" or an abort
//   wire_driver trip URL TIMEOUT IOV COUNT FILE
//                                 open, print {"status": "opened"}, wait for a line on stdin,
//                                 then one round trip of the COUNT commands in FILE sent as
//                                 iovecs of IOV bytes; one JSON object
#include <sys/uio.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <iterator>
#include <string>
#include <vector>

#include "batch/connection.h"

using namespace quorbel::batch;

static std::string json(const std::string &s) {
    std::string out = "\"";
    for (unsigned char c : s) {
        char esc[8];
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20 || c >= 0x7f) {
            std::snprintf(esc, sizeof esc, "\\u%04x", c); // a byte as a code point below 256
            out += esc;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "\"";
}

static std::string read_all(std::istream &in) {
    return std::string(std::istreambuf_iterator<char>(in), {});
}

static void url(int argc, char **argv) {
    for (int i = 2; i < argc; ++i) {
        Endpoint e;
        std::string error;
        if (!parse_url(argv[i], std::strlen(argv[i]), e, error)) {
            std::printf("{\"error\": %s}\n", json(error).c_str());
            continue;
        }
        std::printf("{\"host\": %s, \"port\": %d, \"unix_path\": %s, \"user\": %s, "
                    "\"password\": %s, \"auth\": %s, \"db\": %lld}\n",
                    json(e.host).c_str(), e.port, json(e.unix_path).c_str(), json(e.user).c_str(),
                    json(e.password).c_str(), e.auth ? "true" : "false", e.db);
    }
}

// The reader's outcomes for `in` fed `chunk` bytes at a time, one line each.
static std::string outcomes(const std::string &in, std::size_t chunk) {
    ReplyReader reader;
    std::string out;
    for (std::size_t at = 0; at < in.size();) {
        std::size_t n = std::min(chunk, in.size() - at), used = 0;
        ReplyReader::Step step = reader.feed(in.data() + at, n, used);
        if (used > n || (step == ReplyReader::Step::Reply && used == 0) ||
            (step == ReplyReader::Step::NeedMore && used != n)) {
            std::abort();
        }
        at += used;
        if (step == ReplyReader::Step::Malformed) {
            return out + "malformed@" + std::to_string(at) + "\n";
        }
        if (step == ReplyReader::Step::Reply) {
            out += reader.is_error() ? std::string("error:") + reader.error_text() + "\n" : "ok\n";
        }
    }
    return out;
}

// How the bytes arrive must not change what they mean.
static std::string checked_outcomes(const std::string &in) {
    std::string whole = outcomes(in, in.size() + 1);
    if (outcomes(in, 1) != whole || outcomes(in, 5) != whole) {
        std::fprintf(stderr, "chunking changes the outcome of %s\n", json(in).c_str());
        std::abort();
    }
    return whole;
}

// Random inputs: valid replies cut, spliced and bit-flipped, and noise of RESP's own bytes.
static void fuzz(unsigned long n) {
    static const char *const kSamples[] = {"+OK\r\n",
                                           "-ERR x\r\n",
                                           ":-12\r\n",
                                           "$3\r\nabc\r\n",
                                           "$-1\r\n",
                                           "*-1\r\n",
                                           "_\r\n",
                                           "*2\r\n:1\r\n*1\r\n$0\r\n\r\n",
                                           "!3\r\nBAD\r\n",
                                           ">1\r\n+p\r\n",
                                           "|1\r\n+k\r\n+v\r\n",
                                           "%1\r\n+k\r\n+v\r\n",
                                           "~1\r\n#t\r\n",
                                           ",1e5\r\n",
                                           "(123\r\n",
                                           "=7\r\ntxt:abc\r\n",
                                           "$15\r\n1700000000000-0\r\n",
                                           "*3\r\n*3\r\n*3\r\n:1\r\n:2\r\n:3\r\n"};
    static const char kAlphabet[] = "+-:$*_#,(!=%~>|\r\n0123456789-tfx";
    std::uint64_t state = 0x9e3779b97f4a7c15ull;
    auto next = [&](std::uint64_t bound) {
        state ^= state << 13;
        state ^= state >> 7;
        state ^= state << 17;
        return state % bound;
    };
    for (unsigned long i = 0; i < n; ++i) {
        std::string in;
        std::size_t parts = 1 + next(6);
        for (std::size_t k = 0; k < parts; ++k) {
            in += kSamples[next(sizeof kSamples / sizeof *kSamples)];
        }
        for (std::size_t k = next(4); k-- > 0 && !in.empty();) {
            std::size_t at = next(in.size());
            switch (next(4)) {
            case 0:
                in[at] = static_cast<char>(next(256));
                break;
            case 1:
                in[at] = kAlphabet[next(sizeof kAlphabet - 1)];
                break;
            case 2:
                in.erase(at, 1 + next(3));
                break;
            default:
                in.insert(at, 1, kAlphabet[next(sizeof kAlphabet - 1)]);
                break;
            }
        }
        if (next(8) == 0) {
            in.clear();
            for (std::size_t k = next(64); k-- > 0;) {
                in += kAlphabet[next(sizeof kAlphabet - 1)];
            }
        }
        checked_outcomes(in);
    }
    std::puts("ok");
}

static void trip(const char *u, int timeout_ms, std::size_t iov_size, std::size_t count,
                 const char *path) {
    std::ifstream file(path, std::ios::binary);
    std::string commands = read_all(file);
    Endpoint e;
    std::string error;
    if (!parse_url(u, std::strlen(u), e, error)) {
        std::abort(); // the tests give only good urls here
    }
    Connection c(e, timeout_ms);
    std::int64_t start = Connection::now_ns();
    const char *status = "ok";
    std::string oks;
    if (c.open() != Status::Ok) {
        status = "open failed";
    } else {
        // The test may stop the server now; it says when to go on.
        std::puts("{\"status\": \"opened\"}");
        std::fflush(stdout);
        std::string go;
        std::getline(std::cin, go);
        std::vector<iovec> iov;
        for (std::size_t at = 0; at < commands.size(); at += iov_size) {
            iov.push_back({&commands[at], std::min(iov_size, commands.size() - at)});
        }
        std::vector<unsigned char> ok(count, 2);
        start = Connection::now_ns();
        if (c.round_trip(iov.data(), static_cast<int>(iov.size()), count, ok.data()) !=
            Status::Ok) {
            status = "failed";
        } else {
            for (unsigned char b : ok) {
                oks += static_cast<char>('0' + b);
            }
        }
    }
    std::printf("{\"status\": \"%s\", \"error\": %s, \"reply_error\": %s, \"ok\": \"%s\", "
                "\"is_open\": %s, \"ms\": %.1f}\n",
                status, json(c.error()).c_str(), json(c.reply_error()).c_str(), oks.c_str(),
                c.is_open() ? "true" : "false", (Connection::now_ns() - start) / 1e6);
}

int main(int argc, char **argv) {
    std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "url") {
        url(argc, argv);
    } else if (mode == "resp") {
        std::fputs(checked_outcomes(read_all(std::cin)).c_str(), stdout);
    } else if (mode == "fuzz" && argc == 3) {
        fuzz(std::strtoul(argv[2], nullptr, 10));
    } else if (mode == "trip" && argc == 7) {
        trip(argv[2], std::atoi(argv[3]), std::strtoul(argv[4], nullptr, 10),
             std::strtoul(argv[5], nullptr, 10), argv[6]);
    } else {
        std::fputs(
            "usage: wire_driver url URL... | resp | fuzz N | trip URL TIMEOUT IOV COUNT FILE\n",
            stderr);
        return 2;
    }
    return 0;
}
