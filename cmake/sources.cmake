# The sources of the component, relative to src/, for both builds: the library and command line
# (CMakeLists.txt) and the Windows server (windows/CMakeLists.txt). The portable part first, then
# what only POSIX systems build (their file system, the SQLite settings store, the preview).
set(LLUPDATE_PORTABLE_SOURCES
  platform/error.cc platform/file_system.cc platform/memory_file_system.cc
  text/text.cc text/encoding.cc text/text_io.cc
  host/object_factory.cc host/variant.cc host/dyn_array.cc host/host_messages.cc
  host/error_convention.cc host/project_resaver.cc host/progress.cc
  files/file_table.cc files/profile_reader.cc files/file_helpers.cc
  catalogue/catalogue.cc journal/journal.cc
  rewrites/rewrite_pattern.cc rewrites/leftovers.cc rewrites/number_text.cc rewrites/form_rules.cc
  ll15/frame_lines.cc ll15/block_rewrites.cc ll15/save_ll15.cc ll15/ll24_rules.cc
  component/job_frame.cc component/writer_scope.cc component/ll24_operations.cc
  component/form_operations.cc component/driver_operations.cc component/report_ll_update.cc
  component/operation_table.cc component/call.cc component/journal_operations.cc
  component/database.cc)
set(LLUPDATE_POSIX_SOURCES
  platform/path_posix.cc platform/posix_file_system.cc platform/overlay_file_system.cc
  platform/in_place_file_posix.cc
  host/sqlite_settings.cc host/settings_vfs.cc host/platform_objects_posix.cc text/unified_diff.cc
  component/preview.cc)
