#pragma once

// zq_publish's exit codes, the same for every command.
constexpr int kPublishOk = 0;
constexpr int kPublishBadArguments = 2;
constexpr int kPublishRefused = 3;
constexpr int kPublishIoError = 4;
