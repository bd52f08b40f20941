#include "network/http_parser.h"

#include <cctype>
#include <cstdio>
#include <ctime>
#include <vector>

namespace corvell::alpaca {

namespace {

HeadResult bad(int status, std::string reason) {
    HeadResult r;
    r.parse = Parse::Bad;
    r.status = status;
    r.reason = std::move(reason);
    return r;
}

BodyResult bad_body(int status, std::string reason) {
    BodyResult r;
    r.parse = Parse::Bad;
    r.status = status;
    r.reason = std::move(reason);
    return r;
}

bool is_tchar(unsigned char c) {
    if (std::isalnum(c)) return true;
    switch (c) {
    case '!':
    case '#':
    case '$':
    case '%':
    case '&':
    case '\'':
    case '*':
    case '+':
    case '-':
    case '.':
    case '^':
    case '_':
    case '`':
    case '|':
    case '~': return true;
    default: return false;
    }
}

bool is_token(std::string_view s) {
    if (s.empty()) return false;
    for (unsigned char c : s)
        if (!is_tchar(c)) return false;
    return true;
}

char lower(char c) { return static_cast<char>(std::tolower(static_cast<unsigned char>(c))); }

bool same_ignoring_case(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (lower(a[i]) != lower(b[i])) return false;
    return true;
}

std::string_view trim(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
    return s;
}

// The comma-separated elements of a field value, trimmed; empty elements
// are left out.
std::vector<std::string_view> list_elements(std::string_view value) {
    std::vector<std::string_view> out;
    while (!value.empty()) {
        const size_t comma = value.find(',');
        const std::string_view item = trim(value.substr(0, comma));
        if (!item.empty()) out.push_back(item);
        if (comma == std::string_view::npos) break;
        value.remove_prefix(comma + 1);
    }
    return out;
}

// A line of the head without its end (LF, or CRLF). False when it holds a
// control character other than a tab (a CR alone included).
bool clean_line(std::string_view line) {
    for (unsigned char c : line)
        if ((c < 0x20 && c != '\t') || c == 0x7f) return false;
    return true;
}

std::string_view without_cr(std::string_view line) {
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    return line;
}

// A Host value: a name, an IPv4 address or a bracketed IPv6 address, and an
// optional port. Empty is allowed (a target without authority).
bool valid_host(std::string_view v) {
    for (unsigned char c : v)
        if (!(std::isalnum(c) ||
              std::string_view("-._~!$&'()*+,;=%:[]").find(static_cast<char>(c)) != std::string_view::npos))
            return false;
    return true;
}

// Decimal digits only, at most 15 of them.
bool read_length(std::string_view s, size_t& out) {
    if (s.empty() || s.size() > 15) return false;
    size_t n = 0;
    for (char c : s) {
        if (c < '0' || c > '9') return false;
        n = n * 10 + static_cast<size_t>(c - '0');
    }
    out = n;
    return true;
}

}  // namespace

HeadResult parse_head(std::string_view received, const HeadLimits& limits) {
    // Empty lines before a request are skipped.
    size_t start = 0;
    while (start < received.size() && (received[start] == '\n' || received[start] == '\r')) {
        if (received[start] == '\r' && (start + 1 >= received.size() || received[start + 1] != '\n')) break;
        start += received[start] == '\r' ? 2 : 1;
    }
    if (start > 64) return bad(400, "The request starts with too many empty lines");

    const size_t lineEnd = received.find('\n', start);
    if (lineEnd == std::string_view::npos) {
        if (received.size() - start > limits.maxRequestLine)
            return bad(414, "The request line is longer than " + std::to_string(limits.maxRequestLine) + " bytes");
        return {};
    }
    const std::string_view requestLine = without_cr(received.substr(start, lineEnd - start));
    if (requestLine.size() > limits.maxRequestLine)
        return bad(414, "The request line is longer than " + std::to_string(limits.maxRequestLine) + " bytes");

    // The header fields end at the first empty line.
    const size_t fieldsStart = lineEnd + 1;
    size_t fieldsEnd = std::string_view::npos;  // where the empty line begins
    size_t headEnd = 0;
    for (size_t pos = fieldsStart; pos <= received.size();) {
        const size_t nl = received.find('\n', pos);
        if (nl == std::string_view::npos) break;
        if (without_cr(received.substr(pos, nl - pos)).empty()) {
            fieldsEnd = pos;
            headEnd = nl + 1;
            break;
        }
        pos = nl + 1;
    }
    if (fieldsEnd == std::string_view::npos) {
        if (received.size() - fieldsStart > limits.maxHeaderBytes)
            return bad(
                431, "The header fields are longer than " + std::to_string(limits.maxHeaderBytes) + " bytes together");
        return {};
    }
    if (fieldsEnd - fieldsStart > limits.maxHeaderBytes)
        return bad(431,
                   "The header fields are longer than " + std::to_string(limits.maxHeaderBytes) + " bytes together");

    HeadResult result;
    RequestHead& h = result.head;
    h.headBytes = headEnd;

    // method SP request-target SP HTTP-version
    if (!clean_line(requestLine)) return bad(400, "The request line holds a control character");
    const size_t sp1 = requestLine.find(' ');
    const size_t sp2 = sp1 == std::string_view::npos ? sp1 : requestLine.find(' ', sp1 + 1);
    if (sp2 == std::string_view::npos || requestLine.find(' ', sp2 + 1) != std::string_view::npos)
        return bad(400, "The request line is not 'METHOD target HTTP/1.1'");
    const std::string_view method = requestLine.substr(0, sp1);
    std::string_view target = requestLine.substr(sp1 + 1, sp2 - sp1 - 1);
    const std::string_view version = requestLine.substr(sp2 + 1);
    if (!is_token(method)) return bad(400, "The request line is not 'METHOD target HTTP/1.1'");
    if (version.size() != 8 || version.substr(0, 5) != "HTTP/" ||
        !std::isdigit(static_cast<unsigned char>(version[5])) || version[6] != '.' ||
        !std::isdigit(static_cast<unsigned char>(version[7])))
        return bad(400, "The request line is not 'METHOD target HTTP/1.1'");
    if (version[5] != '1') return bad(505, "This server speaks HTTP/1.1 (and HTTP/1.0), not " + std::string(version));
    h.minorVersion = version[7] == '0' ? 0 : 1;
    // An absolute-form target is taken as the path it names.
    for (const std::string_view scheme : {std::string_view("http://"), std::string_view("https://")}) {
        if (target.size() >= scheme.size() && same_ignoring_case(target.substr(0, scheme.size()), scheme)) {
            const size_t slash = target.find_first_of("/?", scheme.size());
            target = slash == std::string_view::npos ? std::string_view("/") : target.substr(slash);
            if (!target.empty() && target[0] == '?') return bad(400, "The request target has no path");
            break;
        }
    }
    if (target.empty() || (target[0] != '/' && target != "*"))
        return bad(400, "The request target must be a path starting with '/'");
    h.method = std::string(method);
    h.target = std::string(target);

    int hosts = 0;
    bool closeAsked = false, keepAliveAsked = false;
    bool haveLength = false;
    std::vector<std::string> codings;
    for (size_t pos = fieldsStart; pos < fieldsEnd;) {
        const size_t nl = received.find('\n', pos);
        const std::string_view line = without_cr(received.substr(pos, nl - pos));
        pos = nl + 1;
        if (line.front() == ' ' || line.front() == '\t') return bad(400, "A header field is folded onto a second line");
        if (!clean_line(line)) return bad(400, "A header field holds a control character");
        const size_t colon = line.find(':');
        if (colon == std::string_view::npos || !is_token(line.substr(0, colon)))
            return bad(400, "A header field is not 'Name: value' (no space before the colon)");
        const std::string_view name = line.substr(0, colon);
        const std::string_view value = trim(line.substr(colon + 1));
        if (same_ignoring_case(name, "Host")) {
            if (++hosts > 1) return bad(400, "The request has more than one Host header field");
            if (!valid_host(value)) return bad(400, "The Host header field is not a host name or address");
            h.host = std::string(value);
        } else if (std::string* seen = same_ignoring_case(name, "Origin")            ? &h.origin
                                       : same_ignoring_case(name, "Sec-Fetch-Site")  ? &h.fetchSite
                                       : same_ignoring_case(name, "X-Corvell-Token") ? &h.pageToken
                                                                                     : nullptr) {
            // Sent twice, either could be believed: neither is.
            if (!seen->empty() || value.empty())
                return bad(400, "The request gives the header field '" + std::string(name) + "' twice, or empty");
            *seen = std::string(value);
        } else if (same_ignoring_case(name, "Content-Length")) {
            const auto items = list_elements(value);
            if (items.empty()) return bad(400, "Content-Length is empty");
            for (const std::string_view item : items) {
                size_t n = 0;
                if (!read_length(item, n)) {
                    if (!item.empty() && item.find_first_not_of("0123456789") == std::string_view::npos)
                        return bad(413, "The body is longer than " + std::to_string(limits.maxBodyBytes) + " bytes");
                    return bad(400, "Content-Length '" + std::string(item) + "' is not a number of bytes");
                }
                if (haveLength && n != h.contentLength)
                    return bad(400, "The request gives two different Content-Length values");
                h.contentLength = n;
                haveLength = true;
            }
        } else if (same_ignoring_case(name, "Transfer-Encoding")) {
            for (const std::string_view item : list_elements(value)) {
                std::string coding;
                for (char c : item.substr(0, item.find(';'))) coding += lower(c);
                codings.push_back(std::string(trim(coding)));
            }
            if (list_elements(value).empty()) return bad(400, "Transfer-Encoding is empty");
        } else if (same_ignoring_case(name, "Connection")) {
            for (const std::string_view item : list_elements(value)) {
                if (same_ignoring_case(item, "close")) closeAsked = true;
                if (same_ignoring_case(item, "keep-alive")) keepAliveAsked = true;
            }
        } else if (same_ignoring_case(name, "Expect")) {
            if (same_ignoring_case(value, "100-continue")) h.expectContinue = h.minorVersion == 1;
        }
    }
    if (h.minorVersion == 1 && hosts == 0) return bad(400, "An HTTP/1.1 request needs a Host header field");

    if (!codings.empty()) {
        if (h.minorVersion == 0) return bad(400, "Transfer-Encoding is not used with HTTP/1.0");
        if (haveLength) return bad(400, "The request gives both Transfer-Encoding and Content-Length");
        if (codings.size() != 1 || codings[0] != "chunked")
            return bad(501, "Transfer-Encoding '" + codings.back() + "' is not supported; send the body as it is");
        h.framing = RequestHead::Chunked;
    } else if (haveLength) {
        if (h.contentLength > limits.maxBodyBytes)
            return bad(413, "The body is longer than " + std::to_string(limits.maxBodyBytes) + " bytes");
        h.framing = h.contentLength > 0 ? RequestHead::Length : RequestHead::NoBody;
    }
    h.keepAlive = !closeAsked && (h.minorVersion == 1 || keepAliveAsked);
    if (h.framing == RequestHead::NoBody) h.expectContinue = false;
    result.parse = Parse::Complete;
    return result;
}

BodyResult take_body(std::string_view received, const RequestHead& head, const HeadLimits& limits) {
    BodyResult r;
    if (head.framing == RequestHead::NoBody) {
        r.parse = Parse::Complete;
        r.requestBytes = head.headBytes;
        return r;
    }
    if (head.framing == RequestHead::Length) {
        if (received.size() - head.headBytes < head.contentLength) return r;
        r.parse = Parse::Complete;
        r.body = std::string(received.substr(head.headBytes, head.contentLength));
        r.requestBytes = head.headBytes + head.contentLength;
        return r;
    }
    // chunk = size [; extension] CRLF data CRLF; the last chunk has size 0
    // and is followed by trailer fields (ignored) and an empty line.
    size_t pos = head.headBytes;
    std::string body;
    for (;;) {
        const size_t nl = received.find('\n', pos);
        if (nl == std::string_view::npos) {
            if (received.size() - pos > 1024) return bad_body(400, "A chunk size line is longer than 1024 bytes");
            return r;
        }
        const std::string_view line = without_cr(received.substr(pos, nl - pos));
        if (!clean_line(line)) return bad_body(400, "A chunk size line holds a control character");
        const std::string_view digits = trim(line.substr(0, line.find(';')));
        if (digits.empty() || digits.size() > 8 ||
            digits.find_first_not_of("0123456789abcdefABCDEF") != std::string_view::npos)
            return bad_body(400, "A chunk size is not a hexadecimal number");
        const size_t size = std::stoul(std::string(digits), nullptr, 16);
        if (body.size() + size > limits.maxBodyBytes)
            return bad_body(413, "The body is longer than " + std::to_string(limits.maxBodyBytes) + " bytes");
        pos = nl + 1;
        if (size == 0) break;
        if (received.size() - pos < size) return r;
        body.append(received.substr(pos, size));
        pos += size;
        if (received.size() - pos < 1 || (received[pos] == '\r' && received.size() - pos < 2)) return r;
        if (received.substr(pos, 2) == "\r\n")
            pos += 2;
        else if (received[pos] == '\n')
            pos += 1;
        else
            return bad_body(400, "A chunk does not end where its size says");
    }
    // Trailer fields, then the empty line.
    for (size_t trailerBytes = 0;;) {
        const size_t nl = received.find('\n', pos);
        if (nl == std::string_view::npos) {
            if (received.size() - pos + trailerBytes > limits.maxHeaderBytes)
                return bad_body(431, "The trailer fields are too long");
            return r;
        }
        const std::string_view line = without_cr(received.substr(pos, nl - pos));
        trailerBytes += nl + 1 - pos;
        pos = nl + 1;
        if (line.empty()) break;
        if (trailerBytes > limits.maxHeaderBytes) return bad_body(431, "The trailer fields are too long");
    }
    r.parse = Parse::Complete;
    r.body = std::move(body);
    r.requestBytes = pos;
    return r;
}

const char* status_text(int status) {
    switch (status) {
    case 100: return "Continue";
    case 200: return "OK";
    case 400: return "Bad Request";
    case 403: return "Forbidden";
    case 404: return "Not Found";
    case 405: return "Method Not Allowed";
    case 408: return "Request Timeout";
    case 413: return "Content Too Large";
    case 414: return "URI Too Long";
    case 431: return "Request Header Fields Too Large";
    case 500: return "Internal Server Error";
    case 501: return "Not Implemented";
    case 503: return "Service Unavailable";
    case 505: return "HTTP Version Not Supported";
    default: return "Unknown";
    }
}

namespace {
std::string status_and_date(int status) {
    // The date in English whatever the locale: "Sun, 06 Nov 1994 08:49:37 GMT".
    static const char* const days[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
    static const char* const months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                         "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    char date[64] = "";
    const std::time_t now = std::time(nullptr);
    std::tm utc{};
    if (gmtime_r(&now, &utc))
        std::snprintf(date, sizeof date, "%s, %02d %s %04d %02d:%02d:%02d GMT", days[utc.tm_wday % 7], utc.tm_mday,
                      months[utc.tm_mon % 12], utc.tm_year + 1900, utc.tm_hour, utc.tm_min, utc.tm_sec);
    std::string out = "HTTP/1.1 " + std::to_string(status) + " " + status_text(status) + "\r\n";
    if (date[0]) out += std::string("Date: ") + date + "\r\n";
    return out;
}
}  // namespace

std::string response_head(int status, const std::string& contentType, size_t bodyLength, int keepAliveSeconds,
                          const std::string& fields) {
    std::string out = status_and_date(status);
    if (!contentType.empty()) out += "Content-Type: " + contentType + "\r\n";
    out += fields;
    out += "Content-Length: " + std::to_string(bodyLength) + "\r\n";
    if (keepAliveSeconds > 0)
        out += "Connection: keep-alive\r\nKeep-Alive: timeout=" + std::to_string(keepAliveSeconds) + "\r\n";
    else
        out += "Connection: close\r\n";
    out += "\r\n";
    return out;
}

std::string stream_head(int status, const std::string& contentType, const std::string& fields) {
    return status_and_date(status) + "Content-Type: " + contentType + "\r\n" + fields + "Connection: close\r\n\r\n";
}

}  // namespace corvell::alpaca
