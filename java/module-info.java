// The named API as the module ruvek: its natives, loader and terminal inside, the ruvek package alone exported.
module ruvek {
    exports ruvek;
}
