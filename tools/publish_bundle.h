#pragma once
// An update as one file: a tar archive (POSIX pax) of the list, its signature and every archive,
// chunk index and chunk the list needs, in a fixed order, for a player without a line to the
// server (a USB stick, a share at a LAN party).
//
// Members, in this order, each a regular file, mode 0644, dated 1970-01-01:
//   patchlist.xml          the list as published
//   patchlist.xml.sig      its signature, when the publication is signed
//   then, for each record in the list's order:
//     NAME.lzma            the record's archive (its name with "/"), or, with --from, for a file
//                          the old list gave a chunk index:
//     chunks/index/HEX     its chunk index, and
//     chunks/XX/HEX        each chunk the old list's indexes do not hold, once.
// With --from OLD_LIST a record the old list names unchanged (name, CRC-32, size, archive) has no
// member. A name longer than the tar header holds, or beyond ASCII, goes in a pax header.

#include <string>

namespace kova::publish {

// `kova-publish bundle OUTPUT_DIR FILE [--from OLD_LIST]`: writes FILE (through a temporary name)
// and returns the exit status.
int WriteBundle(const std::string& output, const std::string& file, const std::string& oldList);

}  // namespace kova::publish
