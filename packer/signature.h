// The Authenticode signature of an installer, as far as its layout goes.
//
// A signer (osslsigncode, signtool) appends the signature behind the
// container as a certificate table of WIN_CERTIFICATE records and records
// its offset and size in the PE header's Certificate Table entry. The
// container's checks leave that entry out; this check makes sure the table
// is where a signer puts it, so that nothing hides behind or inside it.
// Whether the signature itself is valid is for the signer's tools to say.
#ifndef VQ_SIGNATURE_H
#define VQ_SIGNATURE_H

#include <cstdint>
#include <string>

#include "host_reader.h"

struct SignatureInfo {
    enum Status {
        kNone,        // no certificate table (or no PE header at all)
        kOk,          // a table that starts behind the container, ends at
                      // the end of the file and is filled by its records
        kRefused,     // a table anywhere else, or one its records disagree with
        kUnreadable,  // the file could not be read
    };
    Status status = kNone;
    uint64_t offset = 0;        // as the PE header's entry gives them
    uint64_t size = 0;
    unsigned records = 0;       // WIN_CERTIFICATE records in the table
    std::string reason;         // kRefused, kUnreadable: one line
};

// Checks the certificate table of `path`, whose container the reader has
// passed (`rep` is its report: the header gives the container's end).
SignatureInfo CheckSignature(const std::string &path, const ReadReport &rep);

// "certificate table of N bytes at offset X (1 record)" or "none (no
// certificate table)"; for kOk and kNone.
std::string DescribeSignature(const SignatureInfo &s);

#endif
