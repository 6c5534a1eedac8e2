// What the library knows about each protocol code, in one row per protocol: read by the URI
// parser, the transfer entry, the size front end and the workers. A new protocol is a new
// row and its routines.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "frontend/filehandle_ulanddl.h"

namespace fh {

struct WorkerMember;
using SizeProbeFn = uint32_t (*)(ComponentInfo* request, int32_t* size);

// A scheme that selects the protocol when a transfer URI starts with it.
struct SchemeName {
    const char* prefix;  // compared case-sensitively; null ends a row's list
    bool https;          // the request is marked HTTPS
    const char* alias;   // another scheme text the URI may carry with this prefix, or null
};

// How the URI parser writes a request's address and paths.
enum class UriForm {
    kUrl,          // a libcurl URL rebuilt from scheme, host and path
    kShare,        // host, share path and local path of a mount
    kHostAndPath,  // the bare address, and the path as the remote side of the direction
    kAsGiven,      // the URI itself (an IPv6 host is rebuilt in brackets)
};

struct Protocol {
    uint8_t code;
    struct {
        SchemeName schemes[2];  // tried in this order
        bool credentials;       // user name and password inside the URI
        // The credentials go into the request URL, where an '@', '/', '?', '#' or '\\' in
        // them would move the boundary of the host.
        bool credentialsInUrl;
        // The request URL is checked against libcurl's own URL parser (the share and TFTP
        // protocols build no libcurl URL).
        bool curlUrl;
        UriForm form;
        bool scpPath;  // the path must pass the SCP path check (no control character, no '-')
    } uri;
    struct {
        const char* log;             // logged before the worker starts
        const WorkerMember* member;  // null: the transfer entry does not run this code
        size_t pathMax;              // longest remote and local path the protocol takes; 0: any
        const char* pathTooLong;     // logged when a path is longer
    } transfer;
    struct {
        const char* log;  // logged before the probe runs
        SizeProbeFn probe;
    } size;
};

// The size probes that have no exported name.
uint32_t TftpFileSize(ComponentInfo* request, int32_t* size);
uint32_t LocalFileSize(ComponentInfo* request, int32_t* size);

// The row of a protocol code, or null.
const Protocol* FindProtocol(uint8_t code);

// Every row; `*count` receives their number.
const Protocol* Protocols(size_t* count);

// True when the request's remote and local paths fit the protocol's limit (logged if not).
bool PathsFit(const Protocol& p, const ComponentInfo& request);

}  // namespace fh
