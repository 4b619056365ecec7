// The dialog template ids of the wizard's pages. A page's Next handler may return one of them to
// jump to that page; the sheet builds its page sets from them.
#pragma once

namespace quill::PageId {

constexpr int About = 130;  // the About box (not a page)
constexpr int Operation = 131;
constexpr int Configure = 300;
// Boot programming
constexpr int BootFile = 158;
constexpr int BootStartSwitches = 132;
constexpr int BootProgress = 142;
constexpr int BootDone = 136;
// User programming
constexpr int UserOperation = 303;
constexpr int UserFile = 137;
constexpr int UserBlocks = 301;
constexpr int UserStartSwitches = 159;
constexpr int UserProgress = 143;
constexpr int UserDone = 141;
// User-mode erase
constexpr int EraseBlocks = 160;
constexpr int EraseStartSwitches = 161;
constexpr int EraseProgress = 144;
constexpr int EraseDone = 302;

}  // namespace quill::PageId
