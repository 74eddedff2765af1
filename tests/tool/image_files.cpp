/*
 * image_files.cpp - ROM images on disk for the tool's tests.
 */
#include "image_files.h"

#include <gtest/gtest.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

void SealImage(std::vector<uint8_t> &image)
{
    if (image.size() < 2) {
        return;
    }
    uint16_t sum = 0;
    for (size_t i = 0; i + 2 < image.size(); i++) {
        sum = (uint16_t)(sum + image[i]);
    }
    image[image.size() - 2] = (uint8_t)sum;
    image[image.size() - 1] = (uint8_t)(sum >> 8);
}

std::vector<uint8_t> MakeImage(uint32_t size, uint32_t seed)
{
    std::vector<uint8_t> image(size);
    uint32_t state = seed * 2654435761u + 12345;
    for (uint32_t i = 0; i < size; i++) {
        state = state * 1103515245u + 12345u;
        image[i] = (uint8_t)(state >> 16);
    }
    static const char marker[] = "MURVO Operating System";
    if (size >= 32 + sizeof marker) {
        memcpy(image.data() + 32, marker, sizeof marker);
    }
    SealImage(image);
    return image;
}

std::string WriteTempFile(const std::string &name, const std::vector<uint8_t> &bytes)
{
    const ::testing::TestInfo *info = ::testing::UnitTest::GetInstance()->current_test_info();
    /* The tool takes an argument that begins with "/" for an option, so the path is made
     * relative: the file goes to the temporary folder, which becomes the working folder. */
    EXPECT_EQ(chdir(::testing::TempDir().c_str()), 0);
    std::string path = "murvo_" + std::to_string(getpid()) + "_" +
                       (info != NULL ? std::string(info->name()) : std::string("x")) + "_" + name;
    FILE *file = fopen(path.c_str(), "wb");
    EXPECT_NE(file, nullptr) << path;
    if (file != NULL) {
        if (!bytes.empty()) {
            fwrite(bytes.data(), 1, bytes.size(), file);
        }
        fclose(file);
    }
    return path;
}
