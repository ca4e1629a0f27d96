/* Blinks the LED on PC13 of an STM32F103 "blue pill" board; a sample for kestrel-isp. */
#include <stdint.h>

#define RCC_APB2ENR (*(volatile uint32_t *)0x40021018u)
#define GPIOC_CRH (*(volatile uint32_t *)0x40011004u)
#define GPIOC_ODR (*(volatile uint32_t *)0x4001100Cu)

extern uint32_t _sidata, _sdata, _edata, _sbss, _ebss, _estack;

static volatile uint32_t blink_count;

static void delay(uint32_t n) {
    while (n--) __asm__ volatile("nop");
}

int main(void) {
    RCC_APB2ENR |= 1u << 4;                            /* clock for GPIO port C */
    GPIOC_CRH = (GPIOC_CRH & ~(0xFu << 20)) | (0x2u << 20); /* PC13 push-pull out, 2 MHz */
    for (;;) {
        GPIOC_ODR ^= 1u << 13;
        blink_count++;
        delay(400000);
    }
}

void Reset_Handler(void) {
    uint32_t *src = &_sidata;
    for (uint32_t *dst = &_sdata; dst < &_edata;) *dst++ = *src++;
    for (uint32_t *dst = &_sbss; dst < &_ebss;) *dst++ = 0;
    main();
    for (;;) {
    }
}

void Default_Handler(void) {
    for (;;) {
    }
}

/* Cortex-M3 core vectors; the peripheral interrupts are not used. */
__attribute__((section(".isr_vector"), used)) static void (*const vectors[16])(void) = {
    (void (*)(void))(&_estack), Reset_Handler, Default_Handler, Default_Handler,
    Default_Handler, Default_Handler, Default_Handler, 0, 0, 0, 0, Default_Handler,
    Default_Handler, 0, Default_Handler, Default_Handler,
};
