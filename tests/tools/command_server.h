// What the test tools share: serve mode (many commands through one process, so a test pays for one Wine launch, not one per command) and the poll scale.
#pragma once

// A tool's command: argv[0] is the command name, as on the tool's command line
// after the program name. Returns the tool's exit code.
typedef int (*ToolCommand)(int argc, char** argv);

// Reads requests from stdin until it ends, one a line, the words separated by
// tabs (so that an empty word or one with spaces survives); the first word is
// the request's id, chosen by the client. Answers "@@< <id>" as soon as a
// request is read, then runs the rest with command and answers with its output
// and a line "@@ <id> <exit code>". The command "ping" runs nothing and
// answers 0. Returns 0.
int ServeCommands(ToolCommand command);

// The factor VEXA_POLL_SCALE (1 to 100) puts on the tools' poll periods; 1 when
// it is unset or out of range. Where Wine runs many times slower (an emulated
// guest), a tool polling every millisecond while it waits takes the processor
// from the service it waits for: each poll's sleep is a call into Wine's server.
unsigned long PollScale();
