# The library's folders as layers, from the bottom up: a file may include
# headers of its own layer and of those below it. Read by CMakeLists.txt,
# which makes one object library per layer, and by CheckLayers.cmake.
set(MEGFWD_LAYERS base host_interfaces head_model forward_data forward_process forward_engine forward_fast
    forward_api dipole_fit ui)
# The one allowed upward tie: the engine facade shows the settings dialog.
set(MEGFWD_LAYER_EXCEPTIONS "forward_engine/CMForwardkw.cpp:ui/CDlgForwardSettings.h")
