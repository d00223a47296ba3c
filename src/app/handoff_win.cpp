// Hand-off processes on Windows: cmd /c in a job object, so that ending a
// hand-off ends what its command started too, below the dumps' priority.
#include <windows.h>

#include <cerrno>
#include <cstring>

#include "handoff_platform.h"

namespace {

// cmd expands %NAME% once, before it parses the line, and does not expand
// the result again; quoted, the directory's name reaches the command as one
// argument whatever it holds, never as command text.
constexpr const char *arg_var = "DURUVEV_HANDOFF_ARG";

std::string env_block(const std::vector<std::pair<std::string, std::string>> &env)
{
	std::string block;
	char *own = GetEnvironmentStringsA();
	for (const char *e = own; e && *e; e += strlen(e) + 1) {
		bool replaced = false;
		for (const auto &kv : env)
			if (_strnicmp(e, kv.first.c_str(), kv.first.size()) == 0 && e[kv.first.size()] == '=')
				replaced = true;
		if (!replaced)
			block.append(e, strlen(e) + 1);
	}
	if (own)
		FreeEnvironmentStringsA(own);
	for (const auto &kv : env)
		block += kv.first + "=" + kv.second + '\0';
	block += '\0';
	return block;
}

} // namespace

int handoff_spawn(const std::string &cmd, const std::string &arg,
		  const std::vector<std::pair<std::string, std::string>> &env, handoff_proc *out)
{
	auto all = env;
	all.emplace_back(arg_var, arg);
	std::string block = env_block(all);
	// /s: cmd takes what is between the first and the last quote as is.
	std::string line = "cmd.exe /d /s /c \"" + cmd + " \"%" + arg_var + "%\"\"";

	HANDLE job = CreateJobObjectA(nullptr, nullptr);
	if (!job) {
		errno = ENOMEM;
		return -1;
	}
	STARTUPINFOA si;
	memset(&si, 0, sizeof(si));
	si.cb = sizeof(si);
	PROCESS_INFORMATION pi;
	if (!CreateProcessA(nullptr, line.data(), nullptr, nullptr, TRUE,
			    CREATE_SUSPENDED | BELOW_NORMAL_PRIORITY_CLASS, block.data(), nullptr,
			    &si, &pi)) {
		CloseHandle(job);
		errno = ENOENT;
		return -1;
	}
	AssignProcessToJobObject(job, pi.hProcess);
	ResumeThread(pi.hThread);
	CloseHandle(pi.hThread);
	out->pid = reinterpret_cast<intptr_t>(pi.hProcess);
	out->group = reinterpret_cast<intptr_t>(job);
	return 0;
}

static void handoff_close(handoff_proc *p)
{
	CloseHandle(reinterpret_cast<HANDLE>(p->pid));
	CloseHandle(reinterpret_cast<HANDLE>(p->group));
	p->pid = -1;
	p->group = 0;
}

int handoff_reap(handoff_proc *p, int *code, std::string *how)
{
	HANDLE h = reinterpret_cast<HANDLE>(p->pid);
	if (WaitForSingleObject(h, 0) == WAIT_TIMEOUT)
		return 0;
	DWORD status = 1;
	if (!GetExitCodeProcess(h, &status)) {
		*code = -1;
		*how = "lost";
	} else {
		*code = static_cast<int>(status);
	}
	// What it left running goes with it.
	TerminateJobObject(reinterpret_cast<HANDLE>(p->group), 1);
	handoff_close(p);
	return 1;
}

void handoff_kill(handoff_proc *p)
{
	if (p->pid == -1)
		return;
	TerminateJobObject(reinterpret_cast<HANDLE>(p->group), 1);
	// A process the job could not take (AssignProcessToJobObject failed)
	// is not ended with it; the wait below would then never return.
	TerminateProcess(reinterpret_cast<HANDLE>(p->pid), 1);
	WaitForSingleObject(reinterpret_cast<HANDLE>(p->pid), INFINITE);
	handoff_close(p);
}

