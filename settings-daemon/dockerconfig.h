#pragma once

#include <QString>

// True for an IPv4 address with a prefix length 0..32 and nothing else,
// such as "172.17.0.1/16".
bool isValidBridgeAddress(const QString &value);

// Sets or replaces "bip" in the container engine's configuration at path,
// keeping every other member. A missing or empty file becomes {"bip": value}.
bool setBridgeAddressInFile(const QString &path, const QString &value);
