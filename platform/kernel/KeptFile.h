// The files the program keeps in its data folder (the playlists, the settings, the tempo cache). That
// folder may be one other users can write to (a portable copy in a shared sticky folder), so a name
// there may be a symbolic link someone else planted. Paths are bytes. Any thread; no lock.
#pragma once

#include <optional>
#include <string>

// Opens `path` to read. A symbolic link is followed only where the link and the file it leads to both
// belong to the effective user, the rule ReplaceKeptFile follows. The link checked is the link
// followed: its target is read from the inode whose owner was checked, so a link put in its place
// meanwhile is not followed. Returns a close-on-exec descriptor, or -1 with errno set: ENOENT for no
// file (a dangling link too), EPERM for a refused link, with `refused` (if given) saying why.
int OpenKeptFile(const std::string& path, std::string* refused = nullptr);

// The whole file, opened as OpenKeptFile allows. Without it: nullopt, with `problem` empty for a
// missing file, otherwise a few words saying why (a refused link, a read error).
std::optional<std::string> ReadKeptFile(const std::string& path, std::string& problem);

// Replaces the file with `contents`. A link stays a link, its target replaced, only where the link
// and its target are the user's own; any other link is itself replaced and its target left alone.
// The new contents replace the old file only once written and synced in full, so a failure
// (read-only folder, full disk) leaves the old file whole and no temporary file behind; it raises
// Exception with the text: Cannot create file "<path>". <reason>
// A replaced file keeps its permissions. A new one gets 0666 less the umask, or 0600 in a folder
// that is not the user's, where others may be able to read it.
void ReplaceKeptFile(const std::string& path, const std::string& contents);
