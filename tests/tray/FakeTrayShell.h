#pragma once
// A notification area under the test's control: counts the calls and fails them on request.
#include "tray/TrayShell.h"

class FakeTrayShell : public TrayShell {
public:
    bool Add(const TrayIconData& data) override
    {
        ++adds;
        lastAdded = data;
        shown = addSucceeds;
        return addSucceeds;
    }
    bool Delete(const TrayIconData&) override
    {
        ++deletes;
        if (deleteSucceeds)
            shown = false;
        return deleteSucceeds;
    }
    bool IconShown() const override { return shown; }

    // The host reports a mouse event on the icon.
    void Click(unsigned mouseMessage) { Notify(lastAdded, mouseMessage); }

    bool addSucceeds = true;
    bool deleteSucceeds = true;
    bool shown = false;
    int adds = 0;
    int deletes = 0;
    TrayIconData lastAdded;
};
