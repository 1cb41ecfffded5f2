// Environment variables by ASCII name with UTF-16 values. An empty variable reads exactly like an
// absent one. Names of 40 or more characters end the process (bound abort).
#ifndef TAVRIN_PATHS_ENVIRONMENT_H
#define TAVRIN_PATHS_ENVIRONMENT_H

// The value of `name` as a new heap string (malloc) that the caller owns and may free(), or NULL when
// the variable is absent, empty, or longer than 32767 code units. Aborts when the copy cannot be
// allocated.
wchar_t* get_env_var_w(const wchar_t* name);
// As get_env_var_w, the name widened into a 40-unit buffer first.
wchar_t* get_env_var(const char* name);
// Whether `name` is set to a value that is not empty: nothing is copied, so that a variable that
// only switches something costs one call.
bool env_var_set(const char* name);
// SetEnvironmentVariableW; returns its success flag.
int set_env_var(const char* name, const wchar_t* value);
// Removes the variable; removing an absent one is harmless.
void unset_env_var(const char* name);

#endif
