// The ES module entry: the same Capture as the CommonJS one (index.cjs).
import client from "./index.cjs";

export const { Capture, describeEvent, findBinary, splitTracks } = client;
