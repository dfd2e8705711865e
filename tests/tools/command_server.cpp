// Serve mode of the test tools (tab-separated requests from stdin, each answered with its output and its exit code), and their poll scale.
#include "command_server.h"

#include <fcntl.h>
#include <io.h>
#include <stdio.h>
#include <stdlib.h>

#include <string>
#include <vector>

namespace {

constexpr char kWordSeparator = '\t';
constexpr const char* kReplyEnd = "@@";
constexpr const char* kTaken = "@@<";  // sent as soon as a request is read, before it runs
// A request that runs nothing: the client learns that the process reads its
// requests and answers, before any request reaches a Windows service or file.
constexpr const char* kPing = "ping";

// One line of stdin without its line end; false at the end of input.
bool ReadRequest(std::string* line) {
  line->clear();
  int c = 0;
  while ((c = fgetc(stdin)) != EOF) {
    if (c == '\n') break;
    line->push_back(static_cast<char>(c));
  }
  if (c == EOF && line->empty()) return false;
  if (!line->empty() && line->back() == '\r') line->pop_back();
  return true;
}

std::vector<std::string> SplitWords(const std::string& line) {
  std::vector<std::string> words(1);
  for (char c : line) {
    if (c == kWordSeparator) {
      words.emplace_back();
    } else {
      words.back().push_back(c);
    }
  }
  return words;
}

}  // namespace

int ServeCommands(ToolCommand command) {
  // Plain line feeds both ways: the shell on the other end reads them.
  _setmode(_fileno(stdin), _O_BINARY);
  _setmode(_fileno(stdout), _O_BINARY);
  std::string line;
  while (ReadRequest(&line)) {
    std::vector<std::string> words = SplitWords(line);
    // The id goes back on both marker lines, so that the client matches each
    // reply to its request and can never take an old reply for a new one.
    const std::string id = words.front();
    words.erase(words.begin());
    // The client knows from this that the request was taken, before a wait in it begins.
    printf("%s %s\n", kTaken, id.c_str());
    fflush(stdout);
    int code = 0;
    if (words.empty()) {
      fprintf(stderr, "serve: request %s names no command\n", id.c_str());
      code = 2;
    } else if (words.front() != kPing) {
      std::vector<char*> argv;
      for (std::string& word : words) argv.push_back(&word[0]);
      argv.push_back(nullptr);
      code = command(static_cast<int>(words.size()), argv.data());
    }
    printf("%s %s %d\n", kReplyEnd, id.c_str(), code);
    fflush(stdout);
    fflush(stderr);
  }
  return 0;
}

unsigned long PollScale() {
  constexpr unsigned long kMaxPollScale = 100;
  static unsigned long scale = 0;
  if (scale == 0) {
    const char* text = getenv("VEXA_POLL_SCALE");
    char* end = nullptr;
    unsigned long value = text != nullptr ? strtoul(text, &end, 10) : 0;
    scale = (end != nullptr && end != text && *end == '\0' && value >= 1 && value <= kMaxPollScale) ? value : 1;
  }
  return scale;
}
