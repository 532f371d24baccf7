#pragma once

#include <QString>

// The one rule for a host address and port, shared by the host editor, the import and SSH:
// port 1..65535; the trimmed host is non-empty, shorter than 254 characters, free of white space,
// slashes, backslashes and quotes, and either an IPv4/IPv6 address or a dotted host name whose
// labels have 1-63 letters, digits and inner hyphens.
bool isValidSshTarget(const QString& host, int port);
