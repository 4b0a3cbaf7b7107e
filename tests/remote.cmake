# Remote commands carried out on a real pad board and set list slots: what a pad sounds like
# after them, the slider, the refused switch, learn and the files, the status reply on a real
# socket, and the settings pages and learn dialog of the window.
cuedeck_add_test(NAME remote_test QT SOURCES remote_test.cpp LIBS cuedeck_ui TIMEOUT 120)
