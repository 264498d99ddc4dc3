#pragma once

// Result codes shared by the HTTP client and the two jobs. Zero or more is
// success (a count or a state); a negative value names the failure.
namespace ResultCode {

enum : int {
    // HttpClient::receive() states.
    ReceiveAgain = 0, // bytes were read (or none yet): call again
    BufferFull = 1,   // the body buffer is full: drain it first
    BodyComplete = 2, // the body has ended

    MalformedUrl = -1,     // no "//", no "/" after the host, a control byte, a scheme not served
    ConnectFailed = -2,    // name resolution or connect failed
    SendFailed = -3,       // writing the request failed
    NoHeader = -4,         // no complete response header within the time-out
    NoConnection = -5,     // receive() before any request
    TooManyRedirects = -6, // a redirect chain longer than HttpClient::MaxRedirects
    HeaderTooLarge = -7,   // the response header does not end within the body buffer
    TlsFailed = -8,        // TLS handshake or certificate verification failed
    Stopped = -9,          // the stop flag was set while a request or a body wait was under way
    MalformedAnswer = -10, // a Content-Length, transfer coding or chunk the body cannot be read by
    HttpStatus = -11,      // a page that must be 2xx came with another status
    BodyStopped = -25,     // the body stopped before its end: time-out or truncated
    ThreadFailed = -97,    // a job's thread could not be created
    NoTemplate = -98,      // the engine has no address template for the search mode
};

} // namespace ResultCode
