// The sample package set of `tessaly-pack sample`: a few update containers
// with their manifests and data files, made from fixed seeds so that every
// run writes the same bytes. Tests, the demo and the simulated device use
// them as ready-made packages:
//
//   mvt7-full      classic-map board MVT7 (table also holds HB6T and MVT5):
//                  boot, program with pre-header, radarMute, gps, voice,
//                  updateTool, oled; v3, format 5, block magic
//   k502-full      502-map board K502 (and K512): second voice (voice2),
//                  gps2, OLED, server and track areas; sections reordered
//                  and aligned to 256 bytes
//   program-only   one MVT7 program image in a version 2 header
//   provinces-4m   K502 with province GPS data (gps3 plus gpsProvinceRecords
//                  for six provinces) and voice8; over 4 MiB, so on a 4 MiB
//                  device the user has to pick provinces
//   mvt7-full.zip  mvt7-full.dzr as data/update.DZR in a zip archive
//
// Every package has the title "Halcyon Path".
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct SampleFile {
    std::string name; // path relative to the sample folder, '/'-separated
    uint64_t size;    // bytes written
};

// Writes the sample set into dir (created when missing; files of the same
// names are replaced). Each container is built from the manifest written
// next to it. On success *written (when not null) lists every file in the
// order written. False with *error on the first failure.
bool SamplePackages_write(const std::string& dir, std::vector<SampleFile>* written, std::string* error);
