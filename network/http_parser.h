// HTTP/1.1 requests as the Alpaca server reads them, without sockets: the
// request head (request line and header fields) and the body that follows it,
// taken from the bytes a connection has received so far; and the head of an
// answer. A request that breaks the message rules gets the status and the
// text the server answers it with, and the connection is closed after it.
#pragma once
#include <cstddef>
#include <string>
#include <string_view>

namespace corvell::alpaca {

struct HeadLimits {
    // A request line longer than this is answered 414.
    size_t maxRequestLine = 8192;
    // The header fields together (after the request line); more is 431.
    size_t maxHeaderBytes = 8192;
    // A body longer than this is answered 413 before it is read.
    size_t maxBodyBytes = 8192;
};

enum class Parse { Incomplete, Complete, Bad };

struct RequestHead {
    std::string method;
    // Origin form ("/api/v1/...?..."): an absolute-form target
    // ("http://host:port/path") is given without its scheme and authority.
    std::string target;
    std::string host;  // the Host field as sent ("127.0.0.1:11111"); empty without one
    // What the setup page's checks read, as sent (empty when not sent):
    // where a browser says the request comes from (Origin, Sec-Fetch-Site),
    // and the token the page was given (X-Corvell-Token).
    std::string origin = {}, fetchSite = {}, pageToken = {};
    int minorVersion = 1;  // HTTP/1.0 or HTTP/1.1
    bool keepAlive = true;
    bool expectContinue = false;
    enum Framing { NoBody, Length, Chunked } framing = NoBody;
    size_t contentLength = 0;
    // Bytes of the head, the blank line that ends it included.
    size_t headBytes = 0;
};

struct HeadResult {
    Parse parse = Parse::Incomplete;
    RequestHead head;
    // With Parse::Bad: the status to answer (400, 413, 414, 431, 501, 505)
    // and why, in a sentence for the client.
    int status = 0;
    std::string reason;
};

// Reads the head at the start of `received`. Incomplete while the blank line
// that ends it has not come and no limit is passed yet.
HeadResult parse_head(std::string_view received, const HeadLimits& limits);

struct BodyResult {
    Parse parse = Parse::Incomplete;
    std::string body;
    // Bytes of the whole request (head and body) within `received`.
    size_t requestBytes = 0;
    int status = 0;
    std::string reason;
};

// Reads the body that follows `head` in `received` (which starts with the
// head): nothing, Content-Length bytes, or chunks.
BodyResult take_body(std::string_view received, const RequestHead& head, const HeadLimits& limits);

// The reason phrase of a status ("OK", "Bad Request", ...).
const char* status_text(int status);

// The status line and header fields of an answer, with the blank line.
// keepAliveSeconds > 0: the connection stays open for the next request and
// is closed after that many seconds without one; 0: it closes after this
// answer. An answer to HEAD gives the length of the body it leaves out.
// `fields`: further header lines, each ending in CRLF.
std::string response_head(int status, const std::string& contentType, size_t bodyLength, int keepAliveSeconds,
                          const std::string& fields = std::string());
// The head of an answer whose body goes on until the connection closes
// (server-sent events): no length, and the connection is not kept.
std::string stream_head(int status, const std::string& contentType, const std::string& fields = std::string());

}  // namespace corvell::alpaca
