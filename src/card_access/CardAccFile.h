// File handling that the write and the compare share.
#pragma once

#include <QString>
#include <cstdint>

class RecordFile;
class TCardAccDlg;

// Opens the source of a write or compare (a missing one gets its warning): existing, for reading and writing,
// 1-byte records first, then 512-byte ones when it holds a whole sector.
// With askSize, a file larger than the range brings the size question.
// False after its box has been shown (or No answered); the file is then closed.
bool OpenSourceFile(TCardAccDlg *dlg, RecordFile &file, const QString &path, uint64_t &size, bool askSize,
                    uint32_t sectCnt);
// Whole sectors of a file, held so that a file of more than 2 TB does not wrap.
uint32_t FileSectorsOf(uint64_t size);
// The progress bar's maximum of a write or compare.
int FileProgressMaximum(uint64_t size, uint32_t fileSectors, uint32_t sectCnt);
// The warning for a source file that is not there.
void MissingFileBox(TCardAccDlg *dlg, const QString &path);
