// The small window-tree view that language texts are applied through. A GUI implements it for
// its main window; tests use a fake.
#pragma once

#include <string>
#include <vector>

enum class DialogControlKind {
    Button,    // push buttons, check boxes, radio buttons, group boxes
    Label,     // static texts
    ListView,  // report-style list with column headers
    Other,     // edit boxes and anything else: keeps its text
};

struct DialogControl {
    int id = 0;  // control number; 0 = no number (skipped)
    DialogControlKind kind = DialogControlKind::Other;
};

class IDialogTextTarget {
  public:
    virtual ~IDialogTextTarget() = default;
    // The window's own number, used to form its section name ("DIALOG_%d").
    virtual int DialogId() const = 0;
    virtual void SetTitle(const std::string& text) = 0;
    // Every child control, nested ones included.
    virtual std::vector<DialogControl> Controls() const = 0;
    virtual void SetControlText(int id, const std::string& text) = 0;
    virtual int ListViewColumnCount(int id) const = 0;
    virtual void SetListViewColumnTitle(int id, int column, const std::string& text) = 0;
};
