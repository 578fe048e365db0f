// Sets the container engine's bridge address in its daemon.json.
#pragma once

#include <QString>

// True for an IPv4 address with a prefix length 0..32 and nothing else, such
// as "172.17.0.1/16": four dotted decimal octets 0..255, a slash, the prefix.
// Numbers with a leading zero ("010.0.0.1/8", "10.0.0.1/08") are refused,
// since parsers disagree on whether they are octal.
bool isValidBridgeAddress(const QString &value);

// Sets or replaces "bip" in the container engine's configuration at path,
// keeping every other member. A missing or empty file becomes {"bip": value}.
// An invalid value, or a file that cannot be read or does not hold a JSON
// object, answers false and leaves the file as it was; so does a file past
// maxDockerConfigSize, or an edit that would take it past (both logged).
bool setBridgeAddressInFile(const QString &path, const QString &value);
