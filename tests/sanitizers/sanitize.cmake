# Included by the top CMakeLists.txt when WHIRLET_SANITIZE is on: fills whirlet_sanitize.
if(MSVC)
  message(FATAL_ERROR "WHIRLET_SANITIZE needs GCC or Clang")
endif()
# No recovery: undefined behaviour must fail the run, not scroll past in a log.
target_compile_options(whirlet_sanitize INTERFACE -fsanitize=address,undefined
                       -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
target_link_options(whirlet_sanitize INTERFACE -fsanitize=address,undefined)
# Mesa's driver stays loaded until the leak check at exit (see keep_gl_driver.cpp).
find_library(WHIRLET_GL_DRIVER swrast_dri.so PATH_SUFFIXES dri)
if(WHIRLET_GL_DRIVER)
  add_library(whirlet_keep_gl_driver OBJECT ${CMAKE_CURRENT_LIST_DIR}/keep_gl_driver.cpp)
  target_link_libraries(whirlet_keep_gl_driver PRIVATE whirlet_warnings)
  target_compile_definitions(whirlet_keep_gl_driver PRIVATE
                             WHIRLET_GL_DRIVER="${WHIRLET_GL_DRIVER}")
  target_link_libraries(whirlet_sanitize INTERFACE
                        $<TARGET_OBJECTS:whirlet_keep_gl_driver> ${CMAKE_DL_LIBS})
endif()
