#pragma once
// Runs the registry tool on a temporary machine root, either in-process through the library or
// as the real program (optionally as the unprivileged user "nobody"), and captures its output.

#include <fcntl.h>
#include <grp.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <system_error>
#include <vector>

#include "tests/support/FileText.h"
#include "tests/support/TempDir.h"
#include "tools/usbvantrel-reg/RegTool.h"

namespace uv::test {

struct ToolRun {
  int code = -1;
  std::string out;
  std::string err;
};

// A file as the registry tool exports it (byte-order mark, UTF-16LE) as text; the tests' texts
// are ASCII, so a unit outside it shows as "?".
inline std::string ReadRegFile(const std::filesystem::path& file) {
  const std::string bytes = ReadFile(file);
  if (bytes.rfind("\xFF\xFE", 0) != 0) return "<no UTF-16 byte-order mark>";
  std::string text;
  for (std::size_t i = 2; i + 1 < bytes.size(); i += 2) {
    text += bytes[i + 1] == 0 && static_cast<unsigned char>(bytes[i]) < 0x80 ? bytes[i] : '?';
  }
  return text;
}

class ToolRoot {
 public:
  ToolRoot() : temp_("uvregtool"), dir_(temp_.path()), root_(dir_ / "machine") {
    std::filesystem::create_directories(root_);
  }
  ToolRoot(const ToolRoot&) = delete;
  ToolRoot& operator=(const ToolRoot&) = delete;

  const std::filesystem::path& root() const { return root_; }
  std::filesystem::path scratch(const std::string& name) const { return dir_ / name; }
  std::filesystem::path db() const { return root_ / "registry.db"; }

  ToolRun Run(const std::vector<std::string>& args, const std::string& input = "") const {
    std::istringstream in(input);
    std::ostringstream out;
    std::ostringstream err;
    ToolRun run;
    run.code = tools::RunRegTool(args, root_, in, out, err);
    run.out = out.str();
    run.err = err.str();
    return run;
  }

  // Runs the program itself. With asNobody it runs as uid/gid 65534; code 126 then means it
  // could not be started as that user.
  ToolRun RunProgram(const std::vector<std::string>& args, const std::string& input = "",
                     bool asNobody = false) const {
    const auto inFile = scratch("stdin");
    const auto outFile = scratch("stdout");
    const auto errFile = scratch("stderr");
    WriteFile(inFile, input);
    std::vector<std::string> argvStorage = {USBVANTREL_REG_BINARY};
    argvStorage.insert(argvStorage.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& arg : argvStorage) argv.push_back(arg.data());
    argv.push_back(nullptr);
    std::string rootVariable = "USBVANTREL_ROOT=" + root_.string();
    std::string pathVariable = "PATH=/usr/bin:/bin";
    char* envp[] = {rootVariable.data(), pathVariable.data(), nullptr};

    const pid_t pid = ::fork();
    if (pid == 0) {
      const int in = ::open(inFile.c_str(), O_RDONLY);
      const int out = ::open(outFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
      const int err = ::open(errFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
      if (in < 0 || out < 0 || err < 0) ::_exit(125);
      ::dup2(in, 0);
      ::dup2(out, 1);
      ::dup2(err, 2);
      if (asNobody &&
          (::setgroups(0, nullptr) != 0 || ::setgid(65534) != 0 || ::setuid(65534) != 0)) {
        ::_exit(126);
      }
      ::execve(argv[0], argv.data(), envp);
      ::_exit(126);
    }
    ToolRun run;
    int status = 0;
    if (pid > 0 && ::waitpid(pid, &status, 0) == pid && WIFEXITED(status)) {
      run.code = WEXITSTATUS(status);
    }
    run.out = ReadFile(outFile);
    run.err = ReadFile(errFile);
    return run;
  }

 private:
  TempDir temp_;
  std::filesystem::path dir_;
  std::filesystem::path root_;
};

}  // namespace uv::test
