#include "resources/strings.h"

#include <algorithm>

namespace quill {

// Texts as the program shows them; \n is a line break, \t a tab.
const StringEntry kStringTable[] = {
    {105, "&Exit"},
    {106, "Synchronizing baud rates with the target MCU. Click Abort to abort."},
    {107, "Erasing selected flash memory blocks. Click Abort to abort."},
    {108, "Downloading/programming S-records into target MCU flash memory. Click Abort to abort."},
    {109, "QUILL TAVEO Flash Programmer"},
    {110, "TX-A10"},
    {112, "&About..."},
    {113, "The target MCU is erasing all flash memory blocks. Click Abort to abort."},
    {114, "Loading the FPCODE into target MCU RAM. Click Abort to abort."},
    {115, "The entire TAVEO MCU flash memory has been erased and the selected file has been "
          "successfully programmed and verified."},
    {116, "User Programming Mode will allow you to erase/program individual flash memory blocks. The "
          "user target system must be running FPCODE.See QUILL User Manual.\n\nTo initialize the "
          "User Programming Mode, turn the Mode switch on your Flash Adapter Board to the \"User\" "
          "setting and press the VPP switch so the VPP LED is on. To correctly enter User "
          "Programming Mode make sure you cycle the VPP LED from off to on."},
    {117, "An unrecognized error #%1!d! occurred at address H'%2!lX!."},
    {118, "An internal error has occurred (%1!ld!). Please note the values displayed in this dialog "
          "and contact Velmora."},
    {119, "Downloaded byte at H'%1!lX! failed to verify correctly. Check for:\n\tExceeded the maxium "
          "number of TAVEO MCU program cycles.\n\tDevice connected correctly...etc."},
    {120, "The selected TAVEO MCU Flash Memory Blocks have been successfully programmed and verified."},
    {121, "Boot Programming Mode erases ALL TAVEO MCU on-chip flash memory and programs your "
          "specified S-record file into the flash memory.\n\nTo initialize the Boot Programming "
          "Mode, turn the Mode switch on your Flash Adapter Board to the \"Boot\" setting and press "
          "the VPP switch so the VPP LED is on. To correctly enter Boot Programming Mode make sure "
          "you cycle the VPP LED from off to on."},
    {127, "TX-C30"},
    {128, "TX-C31"},
    {129, "Motorola S-record hex files (*.s;*.mot)|*.s;*.mot|All Files (*.*)|*.*||"},
    {130, "Open file to be programmed"},
    {132, "Invalid numeric value. Expected a number, with an optional H', D' or 0x prefix."},
    {133, "Name"},
    {134, "Starts"},
    {135, "Ends"},
    {136, "The file '%1' does not appear to be in valid Motorola S-record hex format. Please "
          "regenerate the file and try again, or choose another file."},
    {137, "The file '%1' contains data that the selected offset, lowest address and highest address "
          "would attempt to program outside the area of flash memory in the MCU type. Please correct "
          "the file, or change the offset, lowest address or highest address, or select a different "
          "file, and try again."},
    {138, "Please enter the full path and filename of the file to be programmed into flash memory."},
    {140, "The file, offset, lowest address and highest address you have selected will not program "
          "any data into flash memory. Is this what you want to do?"},
    {141, "Erasing the selected flash memory blocks. Click Abort to abort"},
    {142, "The selected TAVEO MCU Flash Memory Blocks have been successfully erased."},
    {144, "No error."},
    {145, "You clicked the Abort button. Warning: resetting the target is highly recommended."},
    {146, "Communication with the target timed out while trying to synchronize baud rates. Check "
          "for:\n\tPower to Target and Flash Adapter.\n\tCorrect QUILL configuration "
          "settings.\n\tCorrect serial cable/COM port connections.\n\tCorrect jumper settings on "
          "target system...etc."},
    {149, "Boot Mode Finished"},
    {150, "Boot Mode Finished"},
    {151, "User Mode Program Sequence Finished"},
    {152, "User Mode Program Sequence Finished"},
    {153, "User Mode Erase Sequence Finished"},
    {154, "User Mode Erase Sequence Finished"},
    {155, "Communication with the target device has timed out. Check for:\n\tPower to Target and "
          "Flash Adapter.\n\tCorrect QUILL configuration settings.\n\tCorrect serial cable/COM port "
          "connections.\n\tCorrect jumper settings on target system...etc."},
    {156, "The target could not erase all flash memory blocks. The address of the failure is not "
          "known. Check for:\n\tExceeded maxium number of TAVEO MCU program cycles.\n\tDevice "
          "connected correctly...etc."},
    {157, "Communication with the target device has timed out. Check for:\n\tPower to Target and "
          "Flash Adapter.\n\tCorrect QUILL configuration settings.\n\tCorrect serial cable/COM port "
          "connections.\n\tCorrect jumper settings on target system...etc."},
    {158, "A error occurred communicating with the target. Check for:\n\tCorrect QUILL configuration "
          "settings.\n\tCorrect serial cable/COM port connections.\n\tCorrect jumper settings on "
          "target system...etc."},
    {159, "Communication with the target device has timed out. Check for:\n\tPower to Target and "
          "Flash Adapter.\n\tCorrect QUILL configuration settings.\n\tCorrect serial cable/COM port "
          "connections.\n\tCorrect jumper settings on target system...etc."},
    {160, "The Flash Memory Block including location H'%1!lX! could not be erased. Check "
          "for:\n\tExceeded maxium number of TAVEO MCU program cycles.\n\tDevice connected "
          "correctly...etc."},
    {161, "Communication with the target device has timed out. Check for:\n\tPower to Target and "
          "Flash Adapter.\n\tCorrect QUILL configuration settings.\n\tCorrect serial cable/COM port "
          "connections.\n\tCorrect jumper settings on target system...etc."},
    {162, "Flash memory programming verification error at location H'%1!lX!. Check "
          "for:\n\tExceeded maxium number of TAVEO MCU program cycles.\n\tDevice connected "
          "correctly...etc."},
    {163, "Communication with the target device has timed out. Check for:\n\tPower to Target and "
          "Flash Adapter.\n\tCorrect QUILL configuration settings.\n\tCorrect serial cable/COM port "
          "connections.\n\tCorrect jumper settings on target system...etc."},
    {164, "The entered file pathname may not be longer than %1!d! characters. Please shorten the "
          "file pathname and try again."},
    {165, "Please enter a hexadecimal integer value between H'%2!lX! and  H'%3!lX!. A decimal value "
          "can be entered if it is prefixed with D'."},
    {167, "H'%1!lX! bytes inside the address range were programmed.\nH'%2!lX! bytes outside the "
          "address range were skipped."},
    {168, ">= 1 MHz, < 2 MHz"},
    {169, ">= 2 MHz, < 4 MHz"},
    {170, ">= 4 MHz, < 6 MHz"},
    {171, ">= 6 MHz, < 8 MHz"},
    {172, ">= 8 MHz, < 10 MHz"},
    {173, ">= 10 MHz, < 12 MHz"},
    {174, ">= 12 MHz, < 14 MHz"},
    {175, ">= 14 MHz, < 16 MHz"},
    {176, ">= 16 MHz"},
    {177, "Please select at least one block to be erased."},
    {180, "Please select a com port and a data rate."},
    {181, "QUILL detected you do not have any serial communcation ports available.\n\nIn order for "
          "QUILL to function, you will need to exit QUILL and make at least one serial "
          "communication port available.  If you are using a communcation port in a DOS "
          "application, you will need to close the DOS shell in which that application is "
          "running."},
    {218, ">= 1 MHz, < 2 MHz"},
    {219, ">= 2 MHz, < 4 MHz"},
    {220, ">= 4 MHz, < 6 MHz"},
    {221, ">= 6 MHz, < 8 MHz"},
    {222, ">= 8 MHz, < 10 MHz"},
    {223, ">= 10 MHz, < 12 MHz"},
    {224, ">= 12 MHz, < 14 MHz"},
    {225, ">= 14 MHz, < 16 MHz"},
    {226, ">= 16 MHz"},
    {227, ">= 1 MHz, < 2 MHz"},
    {228, ">= 2 MHz, < 4 MHz"},
    {229, ">= 4 MHz, < 6 MHz"},
    {230, ">= 6 MHz, < 8 MHz"},
    {231, ">= 8 MHz, < 10 MHz"},
    {232, ">= 10 MHz, < 12 MHz"},
    {233, ">= 12 MHz, < 14 MHz"},
    {234, ">= 14 MHz, < 16 MHz"},
    {235, ">= 16 MHz"},
    {236, "Mode 2"},
    {237, "Mode 3"},
    {StrId::ChecksumError,
     "The file '%1' has a checksum error in line %2!d!. The file may be damaged; nothing has been "
     "programmed from it. Please regenerate the file and try again, or choose another file."},
    {StrId::FileOpenError, "The file '%1' could not be opened: %2."},
    {StrId::FileReadError, "An error occurred while reading the file '%1': %2."},
    {StrId::FileChanged,
     "The program file became invalid at line %1!d! while it was being programmed: it has been "
     "changed or could not be read since it was checked. The flash memory may be only partly "
     "programmed. Please check the file, then erase the flash memory and program it again."},
    {StrId::BlockEraseFailed,
     "The target could not erase the selected flash memory blocks (%1!d! in the erase command). "
     "The target does not report which block failed, so the address of the failure is not known. "
     "Check for:\n\tExceeded maxium number of TAVEO MCU program cycles.\n\tDevice connected "
     "correctly...etc."},
    {420, "The operation was not started because the program file could not be opened; nothing has "
          "been sent to the target.\n\n%1"},
    {421, "The operation was not started because the previous operation has not ended yet; nothing "
          "has been sent to the target. Please wait a moment, then try again."},
    {StrId::NoKernel,
     "Boot Programming was not started: no flash kernel is installed for %1 (kernel %2!d!). The "
     "built-in stand-in is for simulated boards only and is never sent to a real chip; nothing "
     "has been sent to the target. Import the kernel that came with your chips with the "
     "\"Import Kernels...\" button on the configuration page or with 'quill-cli kernels import "
     "PATH'; it is kept in %3."},
    {StrId::KernelUnusable,
     "Boot Programming was not started: the installed flash kernel %2!d! for %1 cannot be used "
     "(%3). Nothing has been sent to the target. Import the kernel again with the \"Import "
     "Kernels...\" button on the configuration page or with 'quill-cli kernels import --replace "
     "PATH'."},
    {StrId::KernelReal, "Flash kernel %1!d!: installed (%2)."},
    {StrId::KernelStandIn,
     "Flash kernel %1!d!: not installed. Only the stand-in for simulated boards is available; "
     "import the real kernel before programming a real chip."},
    {StrId::KernelNone, "Flash kernel %1!d!: not installed. Import it before Boot Programming."},
    {StrId::KernelBad, "Flash kernel %1!d!: the installed file cannot be used (%2). Import it again."},
    {StrId::KernelsImported, "The flash kernels are installed in %1:\n\n%2"},
    {StrId::KernelsNotImported, "Nothing was imported; the installed kernels are unchanged.\n\n%1"},
    {StrId::KernelReplaceAsk,
     "%1\n\nReplace the installed kernel with the one you chose? Only do so if you are sure the "
     "new kernel is the right one for your chips."},
    {StrId::UnknownFileFormat,
     "The file '%1' is neither a Motorola S-record file nor an Intel HEX file, the two formats "
     "that can be programmed. Please choose a file in one of them."},
    {StrId::IntelHexFormatError,
     "The file '%1' does not appear to be in valid Intel HEX format (line %2!d!). Please "
     "regenerate the file and try again, or choose another file."},
    {StrId::FilesOverlap,
     "The files '%1' and '%2' both hold data for address H'%3!lX!. Files programmed together must "
     "not overlap; nothing has been programmed. Please correct the files or the offset, and try "
     "again."},
    {StrId::FileChangedLength,
     "A program file changed its length while it was being programmed: it has been changed since "
     "it was checked. The flash memory may be only partly programmed. Please check the file, then "
     "erase the flash memory and program it again."},
    {StrId::ProgramFileFilter,
     "Motorola S-record hex files (*.s;*.mot)|*.s;*.mot|Intel HEX files (*.hex;*.ihx)|*.hex;*.ihx|"
     "All Files (*.*)|*.*||"},
    {StrId::NetworkPortInvalid,
     "The port %1 cannot be used. A network port is written rfc2217://HOST:PORT or "
     "tcp://HOST:PORT, HOST a name, an IPv4 address or an IPv6 address in brackets, PORT a "
     "number from 1 to 65535.\n\n%2"},
    {StrId::LineMapInvalid,
     "The line map '%1' cannot be used for Automatic Mode. It says which of the serial port's "
     "control lines drives the VPP switch and which drives the Mode switch, for example "
     "vpp=dtr,mode=rts (mode=!rts when the Mode line is inverted).\n\n%2"},
};

const int kStringTableSize = static_cast<int>(sizeof kStringTable / sizeof kStringTable[0]);

const char* FindString(uint32_t id) {
  const StringEntry* end = kStringTable + kStringTableSize;
  const StringEntry* it = std::lower_bound(
      kStringTable, end, id, [](const StringEntry& e, uint32_t value) { return e.id < value; });
  return (it != end && it->id == id) ? it->text : nullptr;
}

std::string LoadString(uint32_t id) {
  const char* text = FindString(id);
  return text ? std::string(text) : std::string();
}

}  // namespace quill
