// Update-UI base: keeps the windows whose child controls an update map would refresh. Our
// dialogs have empty update maps, so registering a container is all there is to it.
#pragma once

#include <windows.h>

#include <vector>

template <class T>
class CUpdateUI {
public:
    BOOL UIAddChildWindowContainer(HWND hWnd) {
        if (!hWnd) return FALSE;
        m_containers.push_back(hWnd);
        return TRUE;
    }
    int UIContainerCount() const { return static_cast<int>(m_containers.size()); }

protected:
    ~CUpdateUI() = default;

private:
    std::vector<HWND> m_containers;
};
