# Parsers of the readers and the platform stand-ins: the database and direct collect-file readers,
# the mount table, the migrated-tree list, the configuration store, the restart text and the
# archive copies of the recall path.
trhsm_fuzz_target(db_reader_items SOURCES db_reader_items_fuzz.cc LIBS trhsm_internal)
trhsm_fuzz_target(collect_file_reader SOURCES collect_file_reader_fuzz.cc LIBS trhsm_internal)
trhsm_fuzz_target(mount_table SOURCES mount_table_fuzz.cc LIBS trhsm_internal)
trhsm_fuzz_target(migrated_list SOURCES migrated_list_fuzz.cc LIBS trhsm_internal)
trhsm_fuzz_target(registry SOURCES registry_fuzz.cc LIBS trhsm_platform)
trhsm_fuzz_target(restart_text SOURCES restart_text_fuzz.cc LIBS trhsm_internal)
trhsm_fuzz_target(archive_copy SOURCES archive_copy_fuzz.cc LIBS trhsm_platform)

