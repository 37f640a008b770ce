# The fuzz targets, by name: fuzz/<name>.cpp, seed corpus fuzz/corpus/<name>/.
# Read by fuzz/CMakeLists.txt, which builds them, and by the native tree,
# which runs each over its corpus as a test.
set(KIT_FUZZ_TARGETS xml_reader update_plan http_head http_body minisign_reader publish_manifest)
