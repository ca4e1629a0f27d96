// What the device jobs need of a front end: the log, the progress display, the port list,
// a save-file prompt and the write of the remembered port. The dialog implements it with
// its controls, the command line with the terminal, the tests with a recorder.
#pragma once

#include <string>

class IJobHost {
public:
    // Appends GBK text at the end of the log, adding no line break.
    virtual void AppendLog(const std::string& text) = 0;
    // Appends each byte as "%02X " (no line break).
    virtual void AppendHexLog(const unsigned char* bytes, int count) = 0;

    // Progress bar: range 0..max, position, and the position read back.
    virtual void SetProgressRange(int max) = 0;
    virtual void SetProgressPos(int pos) = 0;
    virtual int GetProgressPos() = 0;
    // Percentage label beside the bar, e.g. "08%".
    virtual void SetPercentText(const std::string& text) = 0;

    // Port list in its displayed order.
    virtual int PortCount() = 0;
    // Text of entry index; empty when the index is not valid.
    virtual std::string PortAt(int index) = 0;
    virtual void SelectPort(int index) = 0;

    // Asks for the read-out file. false when the user cancelled (or no prompt could be shown).
    virtual bool PromptSaveFile(std::string* path) = 0;

    // Remembers the port that a scan connected on (the "COMM" setting).
    virtual void StorePort(const std::string& port) = 0;

    // Called after the open-failure log line, with the port's LastOpenFailure(), for a
    // front end that can say why; the dialog's log line says enough.
    virtual void PortOpenFailed(const std::string& /*name*/, int /*reason*/) {}

protected:
    ~IJobHost() = default;
};
