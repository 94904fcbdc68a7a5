#pragma once
// usbvantrel-reg: the administrator's registry tool for one machine root, with the verbs,
// switches, output layout and messages of the system's own command-line registry tool:
//
//   add    KEY [/v NAME | /ve] [/t TYPE] [/s SEPARATOR] [/d DATA] [/f]
//   query  KEY [/v NAME | /ve] [/s]
//   delete KEY [/v NAME | /ve | /va] [/f]
//   export KEY FILE [/y]
//   import FILE
//
// KEY is HKLM\... or HKEY_LOCAL_MACHINE\.... Questions (overwrite, delete) are read as lines from
// `in`; only "y" or "yes" agrees. Exit status 0 on success, 1 on any failure or refusal, with
// the registry unchanged unless the operation completed.

#include <filesystem>
#include <iosfwd>
#include <string>
#include <vector>

namespace uv::tools {

int RunRegTool(const std::vector<std::string>& args, const std::filesystem::path& machineRoot,
               std::istream& in, std::ostream& out, std::ostream& err);

}  // namespace uv::tools
