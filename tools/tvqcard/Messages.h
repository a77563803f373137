// The messages tvqcard shows its user, in English, or in Japanese when the
// locale (LC_ALL, else LC_MESSAGES, else LANG) is a Japanese one. A message
// has numbered places {0}, {1}, ... that Say fills in.
#pragma once

#include <initializer_list>
#include <string>

enum class Msg {
    LibraryMissing,
    LibraryUnusable,
    NoUnit,
    FirmwareRefused,
    ModeRefused,
    UnknownSlot,
    SlotListed,
    NoCard,
    NoCards,
    CardUnusable,
    BadNumber,
    CountZero,
    StartBeyond,
    RangeBeyond,
    FileBeyond,
    FileMissing,
    FileNotRegular,
    FileOpen,
    FileRead,
    FileWrite,
    FileClose,
    CardRead,
    CardWrite,
    Retrying,
    HeldBy,
    HeldByUnknown,
    LockFailed,
    VdDiffers,
    VdNoCard,
    FormatNeedsYes,
    FormatFailed,
    EjectFailed,
    Ejected,
    Formatted,
    Interrupted,
    ReadDone,
    WriteDone,
    VerifyDone,
    VerifyDiffers,
    CompareSame,
    CompareDiffers,
    CompareMore,
    CompareCardEnds,
    HashMismatch,
    HashBadLine,
    HashOk,
    HashFailed,
    OneSlotOnly,
    Stopped,
    CardReadOnce,
    CardWriteOnce,
    OnCard,
    StoppedRetrying,
    CardProblem,
    MediumIsCard,
    SourceIsCard,
    OutputFailed,
    ReleaseFailed,
    VdMoved,
    CauseNoMedium,
    CauseChanged,
    CauseUnplugged,
    CauseReplugged,
    CauseInUse,
    CauseHeld,
    CauseNoAccess,
    CauseNotReady,
    CauseWriteProtect,
    CauseReadError,
    CauseWriteError,
    CauseMedium,
    CauseHardware,
    CauseRange,
    CauseLocked,
    CauseNoCall,
    CauseSense,
    Count_,  // not a message: the number of them
};

// The message in the user's language with its places filled.
std::string Say(Msg id, std::initializer_list<std::string> args = {});
// True when messages are in Japanese.
bool Japanese();
// For tests of the table: picks the language regardless of the locale.
void ForceLanguage(bool japanese);
