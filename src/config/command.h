// Runs one external program from a command line, without a shell, with an
// empty environment, trying /bin/<name> then /sbin/<name>, and waits for it.
#pragma once

// 0 when the program ran and exited with status 0; -1 for a null, empty or
// over-long command (511 characters), a program name over 25 characters, a
// failed fork, a program found in neither folder, or a non-zero exit.
int HTTP_SYSTEM_CMD(const char* cmd);
