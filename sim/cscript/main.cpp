/*
 * cscript: the console script host, as far as the port-mode utility needs
 * it. It runs one kind of script, the device query that lists the names of
 * the system's Plug and Play entities into a text file:
 *
 *   Set objFSO=CreateObject("Scripting.FileSystemObject")
 *   outFile="<file>"
 *   ... (the query of Win32_PnPEntity, one name per line) ...
 *
 * The names are those of a small ordinary machine plus the friendly name of
 * every port of the configured controllers ($NERAVOX_CONFIG, else the
 * built-in configuration), each line ended by CR LF. Any other script is
 * refused with a message and exit status 1; a configuration that does not
 * load gives exit status 2 and no list.
 *
 *   cscript [//NoLogo] [//B] <script>
 */
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "active_config.h"

namespace {

// The script line by line; "@" stands for the output file's name.
const char *const kQueryShape[] = {
    "Set objFSO=CreateObject(\"Scripting.FileSystemObject\")",
    "outFile=\"@\"",
    "Set objFile = objFSO.CreateTextFile(outFile,True)",
    "strComputer = \".\"",
    "Set objWMIService = GetObject(\"winmgmts:\\\\\" & strComputer & \"\\root\\CIMV2\")",
    "Set colItems = objWMIService.ExecQuery( _",
    " \"SELECT * FROM Win32_PnPEntity\",,48)",
    "For Each objItem in colItems",
    "\tobjFile.Write \"\" & objItem.Name & vbCrLf",
    "Next",
    "objFile.Close",
};
constexpr size_t kShapeLines = sizeof(kQueryShape) / sizeof(kQueryShape[0]);

const char *const kSystemDevicesBefore[] = {
    "ACPI x64-based PC",
    "Microsoft ACPI-Compliant System",
    "PCI Express Root Complex",
    "Communications Port (COM1)",
    "Standard PS/2 Keyboard",
};
const char *const kSystemDevicesAfter[] = {
    "HID-compliant mouse",
    "Generic USB Hub",
    "Standard SATA AHCI Controller",
    "Generic Monitor",
};

std::vector<std::string> SplitLines(const std::string &text) {
  std::vector<std::string> lines;
  std::string line;
  std::istringstream in(text);
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(line);
  }
  while (!lines.empty() && lines.back().empty()) lines.pop_back();
  return lines;
}

// The output file's name when the script is the device query; otherwise
// false with the reason in *why.
bool MatchQuery(const std::vector<std::string> &lines, std::string *outFile, std::string *why) {
  if (lines.size() != kShapeLines) {
    *why = "expected the " + std::to_string(kShapeLines) + "-line device query, found " +
           std::to_string(lines.size()) + " lines";
    return false;
  }
  for (size_t i = 0; i < kShapeLines; ++i) {
    std::string shape = kQueryShape[i];
    size_t at = shape.find('@');
    if (at == std::string::npos) {
      if (lines[i] == shape) continue;
    } else {
      const std::string head = shape.substr(0, at), tail = shape.substr(at + 1);
      const std::string &l = lines[i];
      if (l.size() > head.size() + tail.size() && l.compare(0, head.size(), head) == 0 &&
          l.compare(l.size() - tail.size(), tail.size(), tail) == 0) {
        *outFile = l.substr(head.size(), l.size() - head.size() - tail.size());
        if (outFile->find('"') == std::string::npos) continue;
      }
    }
    *why = "line " + std::to_string(i + 1) + " is not part of the device query: " + lines[i];
    return false;
  }
  return true;
}

}  // namespace

int main(int argc, char **argv) {
  const char *script = nullptr;
  for (int i = 1; i < argc; ++i) {
    if (std::strncmp(argv[i], "//", 2) == 0) continue;  // host options: //NoLogo, //B
    if (script != nullptr) {
      std::fprintf(stderr, "cscript: one script at a time (also given: %s)\n", argv[i]);
      return 1;
    }
    script = argv[i];
  }
  if (script == nullptr) {
    std::fprintf(stderr, "usage: cscript [//NoLogo] [//B] <script>\n");
    return 1;
  }

  std::ifstream in(script, std::ios::binary);
  if (!in) {
    std::fprintf(stderr, "cscript: cannot open the script %s\n", script);
    return 1;
  }
  std::stringstream text;
  text << in.rdbuf();

  std::string outFile, why;
  if (!MatchQuery(SplitLines(text.str()), &outFile, &why)) {
    std::fprintf(stderr, "cscript: %s: this host runs only the device-query script: %s\n", script, why.c_str());
    return 1;
  }

  sim::controller::ConfigResult config = sim::controller::LoadActiveConfig();
  if (!config.Ok()) {
    std::fprintf(stderr, "cscript: %s\n", config.Error.c_str());
    return 2;
  }

  std::ofstream out(outFile, std::ios::binary | std::ios::trunc);
  if (!out) {
    std::fprintf(stderr, "cscript: %s: cannot create %s\n", script, outFile.c_str());
    return 1;
  }
  for (const char *name : kSystemDevicesBefore) out << name << "\r\n";
  for (const auto &controller : config.Value->Controllers)
    for (const auto &port : controller.Ports) out << port.FriendlyName << "\r\n";
  for (const char *name : kSystemDevicesAfter) out << name << "\r\n";
  out.close();
  if (!out) {
    std::fprintf(stderr, "cscript: %s: cannot write %s\n", script, outFile.c_str());
    return 1;
  }
  return 0;
}
