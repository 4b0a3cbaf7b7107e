# The phone panel and the hotkeys on a real pad board: PIN, sessions, Origin and limits over
# real sockets, the portal through a private session bus, and their settings pages.
cuedeck_add_test(NAME surfaces_test QT SOURCES surfaces_test.cpp LIBS cuedeck_ui TIMEOUT 120)
