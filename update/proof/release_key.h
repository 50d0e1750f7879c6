#pragma once

// The release public key this program was built to trust: base64 or hex text
// of an Ed25519 key, or empty text for a program that installs unsigned
// releases as it always did. Each program is given its key when it is built
// (the ZQ_UPDATE_PUBLIC_KEY option; cmake/release_key.cmake), so the key is
// part of the signed executable and no file or setting can change it.
const char* BuiltInReleaseKey();
