/*
 * image_files.h - ROM images on disk for the tool's tests.
 */
#ifndef MURVO_TESTS_TOOL_IMAGE_FILES_H
#define MURVO_TESTS_TOOL_IMAGE_FILES_H

#include <stdint.h>
#include <string>
#include <vector>

/* An image of size bytes: a byte pattern from seed, the marker at 32 (when size allows) and
 * the trailing little-endian checksum of all other bytes. */
std::vector<uint8_t> MakeImage(uint32_t size, uint32_t seed = 1);

/* Stores the checksum of bytes 0 to size-3 in the last two bytes. */
void SealImage(std::vector<uint8_t> &image);

/* Writes bytes to a fresh file in the temporary folder, which becomes the working folder;
 * returns its path relative to it. */
std::string WriteTempFile(const std::string &name, const std::vector<uint8_t> &bytes);

#endif /* MURVO_TESTS_TOOL_IMAGE_FILES_H */
