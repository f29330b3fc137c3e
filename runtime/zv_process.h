// Process start-up (the one routine every program's main calls first), the orderly exit,
// the signal handlers, and the small file and directory utilities other modules use.
//
// Start-up and exit run on the main thread before any other thread exists. The signal
// handlers only set flags. The file utilities keep no state; any thread may call them.
#ifndef ZV_RUNTIME_ZV_PROCESS_H
#define ZV_RUNTIME_ZV_PROCESS_H

int init_zv_process(int argc, char **argv);
void init_globals();
int iDaemonize(const char *dir, int redirect);
int pid_file(const char *name);
void store_build();
int iVerifyFilesAndDirsByProcess(int role);
int iVerifyFilesAndDirs(int n);
void verify_dir(const char *path);
void vVerifyFile(const char *path, const char *description);
void init_signal_handlers();
void set_sig_flags(int sig);
void sigchld_handler(int sig);
[[noreturn]] void vZvExit(int status);

int safe_rename(const char *src, const char *name, const char *dir, const char *prefix,
                int fatal);
int millisleep(unsigned ms);
int iFileExists(const char *name);
long iFileSize(const char *name);
int iFileRemove(const char *name);
int iFileRename(const char *oldname, const char *newname);
int iSearchDir(const char *dir, const char *name);

#endif
