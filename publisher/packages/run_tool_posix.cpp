#include "publisher/packages/run_tool.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/unique_descriptor.h"

extern char** environ;

namespace {

std::string ReadAll(int descriptor) {
  std::string text;
  char block[4096];
  for (;;) {
    const ssize_t count = ::read(descriptor, block, sizeof block);
    if (count > 0) {
      text.append(block, static_cast<std::size_t>(count));
    } else if (count == 0 || errno != EINTR) {
      return text;
    }
  }
}

}  // namespace

int RunTool(const std::vector<std::string>& arguments, std::string& output) {
  output.clear();
  if (arguments.empty()) return -1;
  int ends[2];
  if (::pipe(ends) != 0) {
    output = "cannot make a pipe: " + std::string(std::strerror(errno));
    return -1;
  }
  const UniqueFileDescriptor readEnd(ends[0]);
  UniqueFileDescriptor writeEnd(ends[1]);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, writeEnd.get(), STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&actions, writeEnd.get(), STDERR_FILENO);
  posix_spawn_file_actions_addclose(&actions, readEnd.get());
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  std::vector<char*> argv;
  for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
  argv.push_back(nullptr);
  pid_t child = 0;
  const int spawned = posix_spawnp(&child, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (spawned != 0) {
    output = arguments[0] + ": " + std::strerror(spawned);
    return -1;
  }
  // Our copy of the write end must go, or the read below never sees the end.
  writeEnd.Reset();
  output = ReadAll(readEnd.get());
  int status = 0;
  while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  output += arguments[0] + " ended by a signal\n";
  return -1;
}
